// cli and sti in the image. A user-mode process may not mask interrupts: the
// processor raises a general-protection fault, which Linux delivers as
// SIGSEGV. The handler recognises the one-byte opcodes at the faulting
// address, applies them to the current processor's interrupt state (the same
// state the linked driver's _disable/_enable set, which the verifier checks),
// counts them and resumes after the byte. Any other fault is not ours and
// gets the default action.
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "pe/pe_image.h"

namespace host::pe {
namespace {

std::atomic<uint64_t> cli_count{0};
std::atomic<uint64_t> sti_count{0};

// Resumes the interrupted code directly instead of returning from the
// handler. A signal return reloads %gs, the thread's TLS segment, from the
// descriptor table; a kernel keeps that entry per thread, but the user-mode
// emulator that runs i386 programs on kernels without 32-bit support keeps
// one table for all threads, so the reload could hand this thread another
// thread's TLS. Resuming by hand leaves the segment registers untouched:
// the general registers, the flags and the instruction pointer are put back
// from the signal context (SA_NODEFER left the signal mask unchanged).
[[noreturn]] void resume(const mcontext_t& m) {
  const uint32_t edi = m.gregs[REG_EDI], esi = m.gregs[REG_ESI], ebp = m.gregs[REG_EBP];
  const uint32_t ebx = m.gregs[REG_EBX], edx = m.gregs[REG_EDX], ecx = m.gregs[REG_ECX];
  const uint32_t eax = m.gregs[REG_EAX], eflags = m.gregs[REG_EFL], eip = m.gregs[REG_EIP];
  // popa's order, then the flags and the return address, just below the
  // interrupted stack pointer.
  auto* frame = reinterpret_cast<uint32_t*>(m.gregs[REG_ESP]) - 10;
  frame[0] = edi;
  frame[1] = esi;
  frame[2] = ebp;
  frame[3] = 0;  // skipped by popa
  frame[4] = ebx;
  frame[5] = edx;
  frame[6] = ecx;
  frame[7] = eax;
  frame[8] = eflags;
  frame[9] = eip;
  __asm__ volatile("movl %0, %%esp\n\tpopal\n\tpopfl\n\tret" ::"r"(frame) : "memory");
  __builtin_unreachable();
}

void on_fault(int sig, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  auto* ip = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.gregs[REG_EIP]);
  if (ip && (*ip == 0xFA || *ip == 0xFB)) {
    if (*ip == 0xFA) {
      _disable();
      cli_count.fetch_add(1, std::memory_order_relaxed);
    } else {
      _enable();
      sti_count.fetch_add(1, std::memory_order_relaxed);
    }
    uc->uc_mcontext.gregs[REG_EIP] += 1;
    resume(uc->uc_mcontext);
  }
  // Not a masked-interrupt instruction: fault as the process would have.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  (void)info;
}

}  // namespace

void install_privileged_instruction_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
  });
}

PrivilegedCounts privileged_counts() {
  return {cli_count.load(), sti_count.load()};
}

}  // namespace host::pe
