// The vendrixstab element as GStreamer applications use it: loaded from the build tree, driven by
// pipelines and by GStreamer's test harness. The steadiness of its output is measured independently of
// the library (phase correlation between consecutive decoded frames).
#include <gst/app/gstappsink.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/shaky_clip.h"

namespace vendrix::testing {
namespace {

struct Output {
  std::vector<GstClockTime> pts;
  std::vector<cv::Mat> frames;  // BGRx
  std::vector<int> widths;
  std::string error;
};

// Runs `launch` (a gst-launch description ending in an appsink named "out") to its end or its first
// error, calling actions(pipeline, frames so far) after each frame.
template <typename Actions = void (*)(GstElement*, size_t)>
Output RunPipeline(const std::string& launch, Actions actions = [](GstElement*, size_t) {}) {
  Output o;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
  if (!pipeline) return {.error = error->message};
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* failure = nullptr;
  while (!failure && !gst_app_sink_is_eos(GST_APP_SINK(sink))) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND / 10);
    if (!sample) {
      failure = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
      continue;
    }
    GstBuffer* b = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
    o.pts.push_back(GST_BUFFER_PTS(b));
    o.widths.push_back(GST_VIDEO_INFO_WIDTH(&info));
    GstMapInfo map;
    if (GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_BGRx && gst_buffer_map(b, &map, GST_MAP_READ)) {
      const cv::Mat view(info.height, info.width, CV_8UC4, map.data, size_t(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));
      o.frames.push_back(view.clone());
      gst_buffer_unmap(b, &map);
    }
    gst_sample_unref(sample);
    actions(pipeline, o.pts.size());
  }
  if (failure || (failure = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR))) {
    gst_message_parse_error(failure, &error, nullptr);
    o.error = error->message;
    g_error_free(error);
    gst_message_unref(failure);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return o;
}

// This process's own scratch folder (made and removed by main), so that runs side by side do not collide.
const std::filesystem::path kScratch = std::filesystem::temp_directory_path() / ("vendrix_gst_" + std::to_string(getpid()));

const std::string kToBgrx = " ! videoconvert ! video/x-raw,format=BGRx ! appsink name=out sync=false";

TEST(VendrixStab, ShakyClipComesOutSteadiedWithTheSameFramesAndTimestamps) {
  const std::string clip = kScratch / "shaky.mp4";
  ASSERT_EQ(std::system((std::string(VENDRIX_CLI_PATH) + " shake " VENDRIX_SOURCE_DIR "/data/coffee.jpg " + clip +
                         " --preset handheld --frames 150 --size 320x240 >/dev/null 2>&1").c_str()), 0);
  const std::string decode = "filesrc location=" + clip + " ! decodebin";
  const Output in = RunPipeline(decode + kToBgrx);
  const Output out = RunPipeline(decode + " ! vendrixstab look-ahead=20" + kToBgrx);
  ASSERT_EQ(out.error, "");
  ASSERT_EQ(in.pts.size(), 150u);
  EXPECT_EQ(out.pts, in.pts);
  const double before = MeasuredJitter(in.frames), after = MeasuredJitter(out.frames);
  EXPECT_LT(after, 0.5 * before) << "jitter in " << before << " px, out " << after << " px";
}

// Input frames from a source pipeline through the harness, so that each can be compared with its output.
// The source should stop (num-buffers) after the frames a test takes: the harness queues whatever it
// makes, and a free-running source races the teardown (a loaded run once raised a GStreamer
// division-by-zero critical there, which fatal-warnings turns into a crash).
class Harness {
 public:
  Harness(int look_ahead, const std::string& source, bool split = false) {
    GstElement* element = gst_element_factory_make("vendrixstab", nullptr);
    g_object_set(element, "look-ahead", look_ahead, nullptr);
    if (split) gst_util_set_object_arg(G_OBJECT(element), "compare", "left");
    h_ = gst_harness_new_with_element(element, "sink", "src");
    gst_object_unref(element);
    gst_harness_add_src_parse(h_, source.c_str(), FALSE);
    gst_harness_play(h_->src_harness);  // a source is not started by the harness itself
  }
  ~Harness() {
    for (GstBuffer* b : inputs_) gst_buffer_unref(b);
    gst_harness_teardown(h_);
  }
  // `pad`: each input is copied into rows `pad` bytes longer than GStreamer's own, described by a
  // video meta, as a foreign allocator might hand them over.
  void Push(int n, int pad = 0) {
    for (int i = 0; i < n; ++i) {
      GstBuffer* b = gst_harness_pull(h_->src_harness);
      if (pad) b = Repacked(b, pad);
      inputs_.push_back(gst_buffer_ref(b));
      ASSERT_EQ(gst_harness_push(h_, b), GST_FLOW_OK);
    }
  }
  GstHarness* get() { return h_; }
  GstBuffer* input(size_t i) { return inputs_[i]; }

 private:
  GstBuffer* Repacked(GstBuffer* b, int pad) {
    GstCaps* caps = gst_pad_get_current_caps(h_->src_harness->sinkpad);
    GstVideoInfo info;
    gst_video_info_from_caps(&info, caps);
    gst_caps_unref(caps);
    const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + pad, rows = GST_VIDEO_INFO_HEIGHT(&info);
    GstBuffer* out = gst_buffer_new_allocate(nullptr, size_t(stride) * rows, nullptr);
    gst_buffer_copy_into(out, b, GST_BUFFER_COPY_METADATA, 0, size_t(-1));
    GstMapInfo from, to;
    gst_buffer_map(b, &from, GST_MAP_READ);
    gst_buffer_map(out, &to, GST_MAP_WRITE);
    for (int y = 0; y < rows; ++y)
      std::memcpy(to.data + size_t(y) * stride, from.data + size_t(y) * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0),
                  size_t(stride - pad));
    gst_buffer_unmap(b, &from);
    gst_buffer_unmap(out, &to);
    gsize offset[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {stride};
    gst_buffer_add_video_meta_full(out, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info),
                                   GST_VIDEO_INFO_WIDTH(&info), rows, 1, offset, strides);
    gst_buffer_unref(b);
    return out;
  }

  GstHarness* h_;
  std::vector<GstBuffer*> inputs_;
};

// Mean absolute difference of two frames of the same caps over the left third of every plane, without
// the last two rows: the renderer leaves the frame's last row (each field's) as the buffer held it.
double LeftDifference(GstCaps* caps, GstBuffer* a, GstBuffer* b) {
  GstVideoInfo info;
  gst_video_info_from_caps(&info, caps);
  GstVideoFrame fa, fb;
  gst_video_frame_map(&fa, &info, a, GST_MAP_READ);
  gst_video_frame_map(&fb, &info, b, GST_MAP_READ);
  double sum = 0;
  int64_t count = 0;
  for (guint c = 0; c < GST_VIDEO_FRAME_N_COMPONENTS(&fa); ++c) {
    const int plane = GST_VIDEO_FRAME_COMP_PLANE(&fa, c), rows = GST_VIDEO_FRAME_COMP_HEIGHT(&fa, c) - 2,
              bytes = GST_VIDEO_FRAME_COMP_WIDTH(&fa, c) / 3 * GST_VIDEO_FRAME_COMP_PSTRIDE(&fa, c);
    auto left = [&](GstVideoFrame& f) {
      return cv::Mat(rows, bytes, CV_8UC1, GST_VIDEO_FRAME_PLANE_DATA(&f, plane), size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&f, plane)));
    };
    sum += cv::norm(left(fa), left(fb), cv::NORM_L1), count += int64_t(rows) * bytes;
  }
  gst_video_frame_unmap(&fa);
  gst_video_frame_unmap(&fb);
  return sum / double(count);
}

// Every layout: the element holds exactly the delay it reports (and answers the latency query with it),
// drains every frame at the end of the stream with its timestamp and duration, and in split view the
// left half of every output frame is its source, unwarped. That half comes back as it went in only when
// every plane is read and written where GStreamer has it (packed rows 2 bytes longer than a whole
// number of pixels included).
TEST(VendrixStab, EveryLayoutHoldsTheDelayAndComesBackUnchangedInTheSplitViewsSourceHalf) {
  const std::string still = "filesrc location=" VENDRIX_SOURCE_DIR "/data/coffee.jpg ! jpegdec ! imagefreeze num-buffers=80 ! videoscale"
                            " ! videoconvert ! capsfilter caps=video/x-raw,framerate=25/1,";
  for (const std::string layout : {"format=I420,width=171,height=97", "format=NV12,width=160,height=120",
                                   "format=YUY2,width=160,height=120", "format=BGRx,width=160,height=120",
                                   "format=BGRA,width=160,height=120", "format=I420_10LE,width=160,height=120",
                                   "format=I420,width=160,height=120 ! interlace", "padded BGRx", "padded YUY2"}) {
    SCOPED_TRACE(layout);
    const bool padded = layout.rfind("padded", 0) == 0;
    Harness h(4, still + (padded ? "format=" + layout.substr(7) + ",width=160,height=120" : layout), true);
    int delay = 0;
    g_object_get(h.get()->element, "delay", &delay, nullptr);
    EXPECT_EQ(delay, 4 + 49);  // the look-ahead and the steady margin less one
    h.Push(delay, padded ? 2 : 0);
    EXPECT_EQ(gst_harness_buffers_received(h.get()), 0u);
    GstCaps* negotiated = gst_pad_get_current_caps(h.get()->srcpad);
    GstVideoInfo info;
    gst_video_info_from_caps(&info, negotiated);
    EXPECT_EQ(gst_harness_query_latency(h.get()), gst_util_uint64_scale(delay, GST_SECOND * info.fps_d, info.fps_n));
    h.Push(1, padded ? 2 : 0);
    ASSERT_EQ(gst_harness_buffers_received(h.get()), 1u);
    h.Push(70 - delay - 1, padded ? 2 : 0);
    ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_eos()));
    ASSERT_EQ(gst_harness_buffers_received(h.get()), 70u);
    for (size_t i = 0; i < 70; ++i) {
      GstBuffer* out = gst_harness_pull(h.get());
      EXPECT_EQ(GST_BUFFER_PTS(out), GST_BUFFER_PTS(h.input(i))) << "frame " << i;
      EXPECT_EQ(GST_BUFFER_DURATION(out), GST_BUFFER_DURATION(h.input(i))) << "frame " << i;
      // Exact, but for 10-bit video, which the renderer's edge extension draws at 8 bits.
      if (i % 23 == 0) {
        EXPECT_LT(LeftDifference(negotiated, out, h.input(i)), 0.5) << "frame " << i;
      }
      gst_buffer_unref(out);
    }
    gst_caps_unref(negotiated);
  }
}

TEST(VendrixStab, ANegotiationFailureNamesTheFormatsTaken) {
  const std::string clip = kScratch / "444.mkv";
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 -frames:v 5 -pix_fmt yuv444p " + clip).c_str()), 0);
  const Output o = RunPipeline("filesrc location=" + clip + " ! decodebin ! vendrixstab ! appsink name=out");
  EXPECT_NE(o.error.find("takes raw video in I420, NV12, YUY2, BGRx, BGRA, I420_10LE, not Y444"), std::string::npos) << o.error;
}

TEST(VendrixStab, SettingsSeekAndSizeChangeMidStreamNeitherCrashNorLeak) {
  const Output o = RunPipeline(
      "videotestsrc num-buffers=300 pattern=ball ! capsfilter name=size caps=video/x-raw,width=160,height=120,framerate=30/1"
      " ! vendrixstab name=stab look-ahead=10 ! videoconvert ! video/x-raw,format=BGRx ! appsink name=out",
      [](GstElement* pipeline, size_t frames) {
        auto set = [pipeline](const char* name, const char* property, const char* value) {
          GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), name);
          gst_util_set_object_arg(G_OBJECT(element), property, value);
          gst_object_unref(element);
        };
        // The settings that may change while playing, then the picture size, then a seek.
        if (frames == 20) set("stab", "smoothing", "0.3"), set("stab", "max-zoom", "1.5"), set("stab", "compare", "top");
        if (frames == 40) set("size", "caps", "video/x-raw,width=176,height=144,framerate=30/1");
        if (frames == 120) gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GstSeekFlags(GST_SEEK_FLAG_FLUSH), GST_SECOND);
      });
  EXPECT_EQ(o.error, "");
  EXPECT_GT(o.pts.size(), 200u);
  EXPECT_NE(std::find(o.widths.begin(), o.widths.end(), 176), o.widths.end());
}

}  // namespace
}  // namespace vendrix::testing

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  std::filesystem::create_directories(vendrix::testing::kScratch);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  std::filesystem::remove_all(vendrix::testing::kScratch);
  // With the leaks tracer on, objects still alive here are reported (and fail the run) by gst_deinit.
  gst_deinit();
  return status;
}
