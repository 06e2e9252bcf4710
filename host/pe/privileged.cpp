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
    return;
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
