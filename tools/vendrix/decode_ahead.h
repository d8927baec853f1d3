// Decoding on a thread of its own, a few frames ahead of the caller, so that decoding the next frames
// overlaps with rendering and encoding this one. The render pass otherwise leaves a core idle while
// the decoder works and the decoder idle while the renderer works.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "ffmpeg_util.h"
#include "video_input.h"

namespace vendrix::cli {

class DecodeAhead {
 public:
  // Starts decoding `input` at once. `depth`: frames decoded ahead at most. `input` must outlive this
  // object and is not touched by anyone else until it is destroyed.
  explicit DecodeAhead(VideoInput& input, int depth = 4);
  ~DecodeAhead();  // stops the decoder thread (a frame it is decoding is finished first)
  DecodeAhead(const DecodeAhead&) = delete;
  DecodeAhead& operator=(const DecodeAhead&) = delete;

  // As VideoInput::NextFrame: the next frame into `frame`, the packets of other streams read before it
  // handed to `other` first, in file order; false at the end. Rethrows, in its place in the stream,
  // whatever decoding threw (a damaged file, Ctrl-C).
  bool NextFrame(AVFrame* frame, const std::function<void(AVPacket*)>& other = {});

 private:
  struct Item {
    FramePtr frame;    // a decoded frame, or
    PacketPtr packet;  // a packet of another stream, or neither: the end (error_ says why)
  };
  void Run();

  VideoInput& input_;
  const int depth_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> items_;      // guarded by lock_
  int frames_queued_ = 0;       // guarded by lock_
  bool stop_ = false;           // guarded by lock_
  std::exception_ptr error_;    // set before the end item is queued
  std::thread thread_;
};

}  // namespace vendrix::cli
