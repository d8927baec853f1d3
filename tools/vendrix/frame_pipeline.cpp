#include "frame_pipeline.h"

#include <filesystem>

#include <fmt/format.h>

#include "cli_error.h"

namespace vendrix::cli {

void CheckSameSize(const AVFrame& frame, int width, int height, const std::string& in) {
  if (frame.width != width || frame.height != height)
    throw CliError(fmt::format("{}: the picture size changes from {}x{} to {}x{} mid-stream, which is not supported", in,
                               width, height, frame.width, frame.height));
}

std::unique_ptr<VideoOutput> OpenOutput(const VideoInput& input, const std::string& out, const EncoderOptions& encoder,
                                        Progress& progress) {
  std::error_code ec;
  if (std::filesystem::equivalent(input.path(), out, ec) && !ec)
    throw CliError(fmt::format("{}: the output would overwrite the input", out));
  auto output = std::make_unique<VideoOutput>(out, SpecOf(input), encoder, &input);
  for (const std::string& d : output->dropped()) progress.Warn(fmt::format("{} cannot be stored in {}; left out", d, out));
  return output;
}

AVFrame* FrameRenderer::Render(const AVFrame& frame, VideoOutput& output, const Define& define) {
  if (!source_) {
    const RenderLayout layout = ChooseRenderLayout(static_cast<AVPixelFormat>(frame.format));
    source_ = std::make_unique<LibraryImage>(layout, width_, height_);
    target_ = std::make_unique<LibraryImage>(layout, width_, height_);
  }
  converter_.ToLibrary(frame, *source_);
  TexMapDefA def = WholeFrameDefinition(source_->code(), width_, height_, source_->data(), source_->pitch(),
                                        target_->data(), target_->pitch());
  const bool corrected = define(def);
  if (corrected) TexMap(&def);
  AVFrame* encoded = output.WritableFrame();
  converter_.FromLibrary(corrected ? *target_ : *source_, *encoded);
  encoded->pts = frame.best_effort_timestamp;
  encoded->pkt_duration = frame.pkt_duration;
  return encoded;
}

}  // namespace vendrix::cli
