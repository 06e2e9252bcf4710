// Processor intrinsics that the platform's compiler expands inline but that
// mingw-w64 only declares: masking and unmasking maskable interrupts on the
// current processor.
#include "wdk.h"

extern "C" void __cdecl _disable(void) {
  __asm__ __volatile__("cli" ::: "memory");
}
extern "C" void __cdecl _enable(void) {
  __asm__ __volatile__("sti" ::: "memory");
}
