// The fault-injection hook of test builds (see io.h).
#include "impl_/io.h"

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
