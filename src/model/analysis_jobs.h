// The block matcher's job pool as the path that owns it sees it. The pool measures entries on the
// dedicated worker threads and hands each result to the path in submission order; the path only
// settles it (finishing, sliding a real-time window) and releases it.
#pragma once

namespace vendrix::model {

class AnalysisJobPool {
 public:
  virtual ~AnalysisJobPool() = default;
  // Waits for every outstanding job, oldest first. With hand_over each result becomes the path's
  // hand-over block and last completed entry; without, results are dropped.
  virtual void CompleteAll(bool hand_over) = 0;
  // Completes every job without hand-over, then frees the pool.
  virtual void Release() = 0;
};

}  // namespace vendrix::model
