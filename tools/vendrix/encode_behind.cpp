#include "encode_behind.h"

#include <utility>

#include "cli_error.h"

namespace vendrix::cli {

EncodeBehind::EncodeBehind(VideoOutput& output, int depth) : output_(output), depth_(depth < 1 ? 1 : depth) {
  thread_ = std::thread([this] { Run(); });
}

EncodeBehind::~EncodeBehind() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void EncodeBehind::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return stop_ || !items_.empty(); });
      if (stop_) return;  // Finish has not waited: the output is being abandoned
      item = std::move(items_.front());
      items_.pop_front();
      if (item.frame) --frames_queued_;
      busy_ = true;
    }
    changed_.notify_all();
    std::exception_ptr error;
    try {
      if (item.frame)
        output_.WriteFrame(item.frame.get());
      else
        output_.CopyPacket(item.packet.get());
    } catch (...) {
      error = std::current_exception();
    }
    item = {};  // the pixels are free for the renderer again
    {
      std::lock_guard<std::mutex> hold(lock_);
      busy_ = false;
      if (error) {
        error_ = error;
        items_.clear();
        frames_queued_ = 0;
      }
    }
    changed_.notify_all();
  }
}

void EncodeBehind::Push(Item item) {
  std::unique_lock<std::mutex> hold(lock_);
  if (item.frame) changed_.wait(hold, [this] { return error_ || frames_queued_ < depth_; });
  if (error_) std::rethrow_exception(error_);
  if (item.frame) ++frames_queued_;
  items_.push_back(std::move(item));
  hold.unlock();
  changed_.notify_all();
}

void EncodeBehind::Frame(const AVFrame& frame) {
  FramePtr copy = NewFrame();
  if (av_frame_ref(copy.get(), &frame) < 0) throw CliError("out of memory");
  Push(Item{std::move(copy), nullptr});
}

void EncodeBehind::Packet(AVPacket* packet) {
  PacketPtr copy = NewPacket();
  av_packet_move_ref(copy.get(), packet);
  Push(Item{nullptr, std::move(copy)});
}

void EncodeBehind::Finish() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return error_ || (items_.empty() && !busy_); });
  if (error_) std::rethrow_exception(error_);
}

}  // namespace vendrix::cli
