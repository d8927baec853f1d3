// Encoding and writing on a thread of its own, a few frames behind the caller, so that encoding one
// frame overlaps with rendering the next. Together with DecodeAhead this keeps both cores busy
// through the render pass: the decoder, the renderer and the encoder each work on their own frame.
// Every write to the file (video packets and the packets of other streams) happens on this thread,
// in the order the caller queued them.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "ffmpeg_util.h"
#include "video_output.h"

namespace vendrix::cli {

class EncodeBehind {
 public:
  // `output` must outlive this object; from here on only this object's thread writes to it.
  // `depth`: frames queued at most before Frame waits.
  explicit EncodeBehind(VideoOutput& output, int depth = 3);
  // Stops the thread; what is still queued is dropped (only on a path that is failing anyway).
  ~EncodeBehind();
  EncodeBehind(const EncodeBehind&) = delete;
  EncodeBehind& operator=(const EncodeBehind&) = delete;

  // Queues a new reference to `frame`'s pixels (the caller may reuse the AVFrame at once, but must not
  // change the pixels: draw into a buffer that av_buffer_is_writable says is free). Rethrows what an
  // earlier write threw.
  void Frame(const AVFrame& frame);
  // Queues `packet` of another stream (taken over: `packet` is left empty).
  void Packet(AVPacket* packet);
  // Waits until everything queued is written; rethrows what writing threw.
  void Finish();

 private:
  struct Item {
    FramePtr frame;    // a frame to encode, or
    PacketPtr packet;  // a packet of another stream to copy
  };
  void Run();
  void Push(Item item);

  VideoOutput& output_;
  const int depth_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> items_;    // guarded by lock_
  int frames_queued_ = 0;     // guarded by lock_
  bool busy_ = false;         // an item is being written; guarded by lock_
  bool stop_ = false;         // guarded by lock_
  std::exception_ptr error_;  // guarded by lock_; once set, queued items are dropped
  std::thread thread_;
};

}  // namespace vendrix::cli
