#include "decode_ahead.h"

#include <utility>

namespace vendrix::cli {

DecodeAhead::DecodeAhead(VideoInput& input, int depth) : input_(input), depth_(depth < 1 ? 1 : depth) {
  thread_ = std::thread([this] { Run(); });
}

DecodeAhead::~DecodeAhead() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void DecodeAhead::Run() {
  auto push = [this](Item item) {
    std::unique_lock<std::mutex> hold(lock_);
    if (item.frame) {
      changed_.wait(hold, [this] { return stop_ || frames_queued_ < depth_; });
      ++frames_queued_;
    }
    items_.push_back(std::move(item));
    const bool stopped = stop_;
    hold.unlock();
    changed_.notify_all();
    return !stopped;
  };
  try {
    for (;;) {
      FramePtr frame = NewFrame();
      bool stopped = false;
      const bool got = input_.NextFrame(frame.get(), [&](AVPacket* p) {
        PacketPtr copy = NewPacket();
        av_packet_move_ref(copy.get(), p);
        stopped |= !push(Item{nullptr, std::move(copy)});
      });
      if (!got || stopped || !push(Item{std::move(frame), nullptr})) break;
    }
  } catch (...) {
    error_ = std::current_exception();
  }
  push(Item{});
}

bool DecodeAhead::NextFrame(AVFrame* frame, const std::function<void(AVPacket*)>& other) {
  av_frame_unref(frame);
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return !items_.empty(); });
      if (!items_.front().frame && !items_.front().packet) {  // the end stays queued for later calls
        if (error_) std::rethrow_exception(error_);
        return false;
      }
      item = std::move(items_.front());
      items_.pop_front();
      if (item.frame) --frames_queued_;
    }
    changed_.notify_all();
    if (item.packet) {
      if (other) other(item.packet.get());
      continue;
    }
    av_frame_move_ref(frame, item.frame.get());
    return true;
  }
}

}  // namespace vendrix::cli
