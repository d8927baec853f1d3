#include "cli_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "ffmpeg_util.h"
#include "fields.h"
#include "settings_options.h"
#include "video_input.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace vendrix::testing {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

::testing::AssertionResult VendrixOk(const std::string& args) {
  const RunResult r = RunVendrix(args);
  if (r.status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "vendrix " << args << ": status " << r.status << "\n" << r.err;
}

::testing::AssertionResult FfmpegOk(const std::string& args) {
  if (RunShell("ffmpeg -v error " + args) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ffmpeg " << args << " failed";
}

nlohmann::json ReadJson(const std::string& path) { return nlohmann::json::parse(std::ifstream(path)); }

cli::Motion Analyse(const std::string& clip, const cli::AnalysisChoices& choices) {
  cli::Progress quiet(true);
  cli::Timings timings;
  return cli::AnalyseClip(clip, cli::AnalysisSettings({}), quiet, timings, choices);
}

ScratchDir::ScratchDir() {
  static int counter = 0;
  path_ = fs::temp_directory_path() / ("vendrix-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

RunResult RunVendrix(const std::string& args, const std::string& prefix) {
  const ScratchDir dir;
  RunResult r;
  r.status = RunShell(prefix + VENDRIX_CLI_PATH + " " + args + " >" + (dir / "out") + " 2>" + (dir / "err"));
  r.out = Slurp(dir / "out"), r.err = Slurp(dir / "err");
  return r;
}

ScratchDir* SharedClipSuite::dir_ = nullptr;

void SharedClipSuite::MakeSharedClip(const std::string& shake_args) {
  dir_ = new ScratchDir;
  ASSERT_TRUE(VendrixOk("shake -q " + SampleImage() + " " + Clip() + " " + shake_args));
}

void SharedClipSuite::TearDownTestSuite() {
  delete dir_;
  dir_ = nullptr;
}

std::string SampleImage() { return std::string(VENDRIX_SOURCE_DIR) + "/data/coffee.jpg"; }

VideoInfo Probe(const std::string& path) {
  VideoInfo info;
  cli::VideoInput input(path);
  const AVStream* vs = input.stream();
  info.width = vs->codecpar->width;
  info.height = vs->codecpar->height;
  info.colour_range = vs->codecpar->color_range;
  info.colour_space = vs->codecpar->color_space;
  info.field_order = vs->codecpar->field_order;
  if (const uint8_t* m = av_stream_get_side_data(vs, AV_PKT_DATA_DISPLAYMATRIX, nullptr))
    info.rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(m));
  AVFormatContext* fc = input.format();
  auto tag = [](AVDictionary* d, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(d, key, nullptr, 0);
    return std::string(e ? e->value : "");
  };
  info.title = tag(fc->metadata, "title");
  for (unsigned i = 0; i < fc->nb_chapters; ++i) info.chapters.push_back(tag(fc->chapters[i]->metadata, "title"));
  info.streams.resize(fc->nb_streams);
  for (unsigned i = 0; i < fc->nb_streams; ++i) {
    info.streams[i].type = av_get_media_type_string(fc->streams[i]->codecpar->codec_type) ?: "?";
    info.streams[i].codec = avcodec_get_name(fc->streams[i]->codecpar->codec_id);
  }
  cli::FramePtr frame = cli::NewFrame();
  auto other = [&](AVPacket* p) {
    StreamInfo& s = info.streams[size_t(p->stream_index)];
    ++s.packets;
    for (int k = 0; k < p->size; ++k) s.payload_hash = s.payload_hash * 1099511628211ull + p->data[k];
  };
  while (input.NextFrame(frame.get(), other)) {
    if (info.pixel_format.empty()) info.pixel_format = av_get_pix_fmt_name(AVPixelFormat(frame->format));
    info.pts.push_back(double(frame->best_effort_timestamp) * av_q2d(vs->time_base));
    const cli::FieldOrder order = cli::FrameFieldOrder(*frame);
    info.top_first_frames += order == cli::FieldOrder::kTopFirst;
    info.bottom_first_frames += order == cli::FieldOrder::kBottomFirst;
  }
  return info;
}

std::vector<cv::Mat> DecodeGrey(const std::string& path, int limit) {
  std::vector<cv::Mat> frames;
  cli::VideoInput input(path);
  cli::FramePtr frame = cli::NewFrame();
  cli::SwsPtr sws;
  while (int(frames.size()) < limit && input.NextFrame(frame.get())) {
    cv::Mat grey(frame->height, frame->width, CV_8UC1);
    sws.reset(sws_getCachedContext(sws.release(), frame->width, frame->height, AVPixelFormat(frame->format),
                                   frame->width, frame->height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr));
    uint8_t* planes[4] = {grey.data, nullptr, nullptr, nullptr};
    int strides[4] = {int(grey.step[0]), 0, 0, 0};
    sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    frames.push_back(grey);
  }
  return frames;
}

std::vector<cv::Point2d> CentreMotion(const std::vector<cv::Mat>& frames) {
  std::vector<cv::Point2d> motion;
  for (size_t i = 1; i < frames.size(); ++i) {
    const cv::Mat& a = frames[i - 1];
    const cv::Mat& b = frames[i];
    // Corners of the middle 70 %, where every frame of a stabilised clip shows picture.
    cv::Mat mask = cv::Mat::zeros(a.size(), CV_8UC1);
    mask(cv::Rect(a.cols * 15 / 100, a.rows * 15 / 100, a.cols * 70 / 100, a.rows * 70 / 100)).setTo(255);
    std::vector<cv::Point2f> p0, p1;
    cv::goodFeaturesToTrack(a, p0, 400, 0.01, 6, mask);
    std::vector<uchar> ok;
    std::vector<float> err;
    cv::calcOpticalFlowPyrLK(a, b, p0, p1, ok, err, cv::Size(21, 21), 3);
    std::vector<cv::Point2f> s, d;
    for (size_t k = 0; k < p0.size(); ++k)
      if (ok[k]) s.push_back(p0[k]), d.push_back(p1[k]);
    cv::Mat m = s.size() >= 6 ? cv::estimateAffinePartial2D(s, d, cv::noArray(), cv::RANSAC, 1.0) : cv::Mat();
    if (m.empty()) {
      motion.emplace_back(0, 0);
      continue;
    }
    const double cx = a.cols / 2.0, cy = a.rows / 2.0;
    motion.emplace_back(m.at<double>(0, 0) * cx + m.at<double>(0, 1) * cy + m.at<double>(0, 2) - cx,
                        m.at<double>(1, 0) * cx + m.at<double>(1, 1) * cy + m.at<double>(1, 2) - cy);
  }
  return motion;
}

double Jitter(const std::vector<cv::Point2d>& motion) {
  // The second difference of the accumulated path is the first difference of the motion.
  double sum = 0;
  size_t n = 0;
  for (size_t i = 1; i < motion.size(); ++i, ++n) {
    const cv::Point2d d = motion[i] - motion[i - 1];
    sum += d.dot(d);
  }
  return n ? std::sqrt(sum / double(n)) : 0.0;
}

}  // namespace vendrix::testing
