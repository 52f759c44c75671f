// Progress reports and cancellation of long calls through the session's
// progress hook.
#ifndef VANTO_EDIT_IMPL_PROGRESS_H
#define VANTO_EDIT_IMPL_PROGRESS_H

#include <cstdint>

#include "impl_/records.h"

namespace vanto::internal {

// Where one stage of a call lies within the whole call: its bytes are
// reported after `base` bytes, out of `overall`.  overall < 0 means the
// stage is the whole call.  A session transform, say, saves a checkpoint
// (the first half of its bytes) and then rewrites it (the second half).
struct ProgressSpan {
  int64_t base = 0;
  int64_t overall = -1;
};

// Reports the progress of one call (or one stage of it) over `total` bytes.
// advance() tells the hook at most once per kInterval bytes; finish()
// reports the end of the stage once.  Both return false when the host asked
// to cancel.  Without a hook they cost a comparison.
class Progress {
 public:
  static constexpr int64_t kInterval = int64_t{4} << 20;  // 4 MiB

  Progress(const vanto_session_struct &session, int64_t total, ProgressSpan span = {})
      : session_(session),
        total_(total < 0 ? 0 : total),
        base_(span.base),
        overall_(span.overall < 0 ? total_ : span.overall) {}

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
    if (done > total_) done = total_;
    return session_.progress_cbk(&session_, base_ + done, overall_, session_.progress_user_data) == 0;
  }

  const vanto_session_struct &session_;
  int64_t total_;
  int64_t base_;
  int64_t overall_;
  int64_t reported_ = 0;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_PROGRESS_H
