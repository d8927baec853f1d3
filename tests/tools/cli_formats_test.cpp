// In-process checks of the command's own formats: the motion file, the settings the options make and
// the frame layouts handed to the library.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

#include "cli_error.h"
#include "cli_support.h"
#include "library_image.h"
#include "motion_file.h"
#include "settings_options.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace vendrix::testing {
namespace {

using cli::CliError;

cli::Motion SmallMotion() {
  cli::Motion m;
  m.video_width = 64, m.video_height = 48, m.frames = 3;
  ApplyProfile(VENDRIX_PROFILE_DEFAULT, &m.settings);
  m.comp.assign(size_t(VENDRIX_COMP_B_SIZE(3) / 4), 0);
  m.comp[0] = VENDRIX_COMP_B_TAG;
  m.comp[1] = VENDRIX_COMP_MAGIC;
  for (size_t i = 2; i < m.comp.size(); ++i) m.comp[i] = uint32_t(i * 2654435761u);
  m.camera = {{1, 2, 0.1, 1}, {3, 4, 0.2, 1}, {5, 6, 0.3, 1.01}};
  m.smoothed = {{1, 1, 0, 1}, {2, 2, 0, 1}, {3, 3, 0, 1}};
  m.measured = {1, 0, 1};
  return m;
}

TEST(MotionFile, RoundTripsAndRefusesDamage) {
  ScratchDir dir;
  const cli::Motion m = SmallMotion();
  cli::SaveMotion(dir / "m.vxm", m);
  const cli::Motion back = cli::LoadMotion(dir / "m.vxm");
  EXPECT_EQ(back.comp, m.comp);
  EXPECT_EQ(std::memcmp(&back.settings, &m.settings, sizeof m.settings), 0);
  EXPECT_EQ(back.frames, 3);
  ASSERT_EQ(back.smoothed.size(), 3u);
  EXPECT_EQ(back.camera[2].zoom, 1.01);
  EXPECT_EQ(back.measured, m.measured);

  const std::string bytes = Slurp(dir / "m.vxm");
  auto refused = [&](std::string damaged, const std::string& what) {
    std::ofstream(dir / "d.vxm", std::ios::binary | std::ios::trunc) << damaged;
    try {
      cli::LoadMotion(dir / "d.vxm");
      ADD_FAILURE() << "accepted: " << what;
    } catch (const CliError& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  };
  auto with = [&](size_t at, char value) { return bytes.substr(0, at) + value + bytes.substr(at + 1); };
  refused(bytes.substr(0, bytes.size() / 2), "damaged");
  refused(with(100, char(bytes[100] ^ 1)), "checksum");
  refused(with(8, 4), "version 4");  // a newer format
}

TEST(Settings, OptionsMapOntoTheRecord) {
  // The default profile is analysed at level 9; the smoothing option keeps the profile's ratio of the
  // two strengths (26214 : 19660).
  cli::AnalysisOptions a;
  a.smoothing = 0.8;
  const PathSettings s = cli::AnalysisSettings(a);
  EXPECT_TRUE(s.AnalysisLevel == 9 && s.Smoothing == 52429 && s.SecondarySmoothing == 39321);
  a.profile = 3;  // a block-matching profile is analysed at its own level
  EXPECT_EQ(cli::AnalysisSettings(a).AnalysisLevel, 3);
  // Profile framing leaves the record as it is. (What the other framings and views look like is
  // measured on rendered clips in cli_stabilize_test.)
  cli::RenderOptions r;
  r.framing = "profile";
  const PathSettings look = cli::RenderSettings(s, r);
  EXPECT_EQ(std::memcmp(&look, &s, sizeof s), 0);
}

// Frames in the layouts the library renders go there and back without changing a sample.
TEST(LibraryImage, LayoutsRoundTripExactly) {
  std::mt19937 rng(5);
  for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P10LE,
                                     AV_PIX_FMT_YUV444P, AV_PIX_FMT_BGR24}) {
    for (const auto& [w, h] : {std::pair{33, 17}, std::pair{64, 36}}) {
      cli::FramePtr in = cli::NewFrame(), out = cli::NewFrame();
      for (AVFrame* f : {in.get(), out.get()}) {
        f->format = format;
        f->width = w;
        f->height = h;
        ASSERT_EQ(av_frame_get_buffer(f, 0), 0);
      }
      // Random samples in every row of every plane; 10-bit formats keep their 16-bit words below 1024.
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
      const auto rows = [&](int p) { return p == 0 || format == AV_PIX_FMT_BGR24 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h); };
      for (int p = 0; p < 4 && in->data[p]; ++p)
        for (int i = 0; i < rows(p) * in->linesize[p]; ++i) in->data[p][i] = uint8_t(rng() & (d->comp[0].depth > 8 && i % 2 ? 3 : 255));
      cli::LibraryImage image(cli::ChooseRenderLayout(format), w, h);
      cli::FrameConverter converter;
      converter.ToLibrary(*in, image);
      converter.FromLibrary(image, *out);
      for (int p = 0; p < 4 && in->data[p]; ++p) {
        const int bytes = av_image_get_linesize(format, w, p);
        for (int y = 0; y < rows(p); ++y)
          ASSERT_EQ(std::memcmp(in->data[p] + y * in->linesize[p], out->data[p] + y * out->linesize[p], size_t(bytes)), 0)
              << av_get_pix_fmt_name(format) << " " << w << "x" << h << " plane " << p << " row " << y;
      }
    }
  }
}

}  // namespace
}  // namespace vendrix::testing
