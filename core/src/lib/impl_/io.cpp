// The whole-range read and the fault-injection hook of test builds (see io.h).
#include "impl_/io.h"

namespace vanto::internal::io {

int64_t pread_full(int fd, unsigned char *out, int64_t size, int64_t position) {
  int64_t done = 0;
  while (done < size) {
    const ssize_t n = io::pread(fd, out + done, static_cast<size_t>(size - done),
                                static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace vanto::internal::io

#ifdef VANTO_FAULT_INJECTION
#include <atomic>

namespace vanto::internal::io {

namespace {
std::atomic<FaultHook> g_fault_hook{nullptr};
}  // namespace

void set_fault_hook(FaultHook hook) { g_fault_hook.store(hook); }

int injected_fault(Op op) {
  const FaultHook hook = g_fault_hook.load(std::memory_order_relaxed);
  return hook != nullptr ? hook(op) : 0;
}

}  // namespace vanto::internal::io
#endif
