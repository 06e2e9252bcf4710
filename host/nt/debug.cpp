// DbgPrint: formatted into a buffer that tests read, echoed to stderr when
// USBETH_DBGPRINT=1.
#include "nt/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "wdk_nt.h"

namespace host {
namespace {

struct DebugLog {
  std::mutex mutex;
  std::vector<std::string> lines;
};

DebugLog& log() {
  static DebugLog* l = new DebugLog;
  return *l;
}

bool echo_enabled() {
  const char* v = std::getenv("USBETH_DBGPRINT");
  return v && std::strcmp(v, "1") == 0;
}

}  // namespace

std::vector<std::string> debug_output() {
  std::lock_guard<std::mutex> lock(log().mutex);
  return log().lines;
}

void clear_debug_output() {
  std::lock_guard<std::mutex> lock(log().mutex);
  log().lines.clear();
}

}  // namespace host

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, Format, copy);
  va_end(copy);
  std::string text(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], size_t(n) + 1, Format, args);
  va_end(args);
  if (host::echo_enabled()) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
  std::lock_guard<std::mutex> lock(host::log().mutex);
  host::log().lines.push_back(std::move(text));
  return STATUS_SUCCESS;
}
