// Progress reports and cancellation of long calls through the session's
// progress hook.
#ifndef VANTO_EDIT_IMPL_PROGRESS_H
#define VANTO_EDIT_IMPL_PROGRESS_H

#include <cstdint>

#include "impl_/records.h"

namespace vanto::internal {

// Reports the progress of one call over `total` bytes.  advance() tells the
// hook at most once per kInterval bytes; finish() reports the end once.
// Both return false when the host asked to cancel.  Without a hook they cost
// a comparison.
class Progress {
 public:
  static constexpr int64_t kInterval = int64_t{4} << 20;  // 4 MiB

  Progress(const vanto_session_struct &session, int64_t total)
      : session_(session), total_(total < 0 ? 0 : total) {}

  bool advance(int64_t done) {
    if (session_.progress_cbk == nullptr || done - reported_ < kInterval) return true;
    reported_ = done;
    return report(done);
  }

  bool finish() {
    if (session_.progress_cbk == nullptr) return true;
    reported_ = total_;
    return report(total_);
  }

 private:
  bool report(int64_t done) {
    return session_.progress_cbk(&session_, done, total_, session_.progress_user_data) == 0;
  }

  const vanto_session_struct &session_;
  int64_t total_;
  int64_t reported_ = 0;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_PROGRESS_H
