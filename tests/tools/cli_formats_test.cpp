// In-process checks of the command's own formats: the motion file, the option-to-settings mapping and
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
  m.video_width = 64;
  m.video_height = 48;
  m.frames = 3;
  ApplyProfile(VENDRIX_PROFILE_DEFAULT, &m.settings);
  m.comp.assign(size_t(VENDRIX_COMP_B_SIZE(3) / 4), 0);
  m.comp[0] = VENDRIX_COMP_B_TAG;
  m.comp[1] = VENDRIX_COMP_MAGIC;
  for (size_t i = 2; i < m.comp.size(); ++i) m.comp[i] = uint32_t(i * 2654435761u);
  m.camera = {{1, 2, 0.1, 1}, {3, 4, 0.2, 1}, {5, 6, 0.3, 1.01}};
  m.smoothed = {{1, 1, 0, 1}, {2, 2, 0, 1}, {3, 3, 0, 1}};
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

  std::ifstream f(dir / "m.vxm", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto refused = [&](std::string damaged, const std::string& what) {
    std::ofstream(dir / "d.vxm", std::ios::binary | std::ios::trunc) << damaged;
    try {
      cli::LoadMotion(dir / "d.vxm");
      ADD_FAILURE() << "accepted: " << what;
    } catch (const CliError& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  };
  refused(bytes.substr(0, bytes.size() / 2), "damaged");
  std::string flipped = bytes;
  flipped[100] ^= 1;
  refused(flipped, "checksum");
  std::string newer = bytes;
  newer[8] = 2;
  refused(newer, "version 2");
  refused("hello", "not a vendrix motion file");
}

TEST(Settings, OptionsMapOntoTheRecord) {
  cli::AnalysisOptions a;
  PathSettings s = cli::AnalysisSettings(a);
  EXPECT_EQ(s.AnalysisLevel, 9);
  // A block-matching profile is analysed at its own level; the smoothing option keeps its ratio.
  a.profile = 3;
  a.smoothing = 0.8;
  s = cli::AnalysisSettings(a);
  EXPECT_EQ(s.AnalysisLevel, 3);
  EXPECT_EQ(s.Smoothing, 52429);
  EXPECT_EQ(s.SecondarySmoothing, 52429);  // profile 3 has equal strengths
  a.analysis_level = 10;
  EXPECT_THROW(cli::AnalysisSettings(a), CliError);

  cli::RenderOptions r;
  PathSettings look = cli::RenderSettings(s, r);
  EXPECT_EQ(look.FramingMode, VENDRIX_FRAMING_ZOOM_COVER);
  EXPECT_NEAR(look.FramingAmount * 4.4251166e-5 + 1.1, 1.2, 1e-4);
  EXPECT_TRUE(look.OutputFlags & VENDRIX_OUTPUT_EDGE_EXTEND);
  r.framing = "fill";
  r.compare = "top";
  r.grid = true;
  look = cli::RenderSettings(s, r);
  EXPECT_EQ(look.FramingMode, VENDRIX_FRAMING_FOLLOW);
  EXPECT_EQ(look.OutputFlags & 0xFFFu, uint32_t{VENDRIX_OUTPUT_SPLIT_TOP | VENDRIX_OUTPUT_GRID});
  r.framing = "profile";
  r.compare.clear();
  r.grid = false;
  look = cli::RenderSettings(s, r);
  EXPECT_EQ(std::memcmp(&look, &s, sizeof s), 0) << "profile framing leaves the record as it is";
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
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
      const int depth = d->comp[0].depth;
      for (int p = 0; p < 4 && in->data[p]; ++p) {
        const int rows = p == 0 || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || format == AV_PIX_FMT_BGR24
                             ? h
                             : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
        for (int y = 0; y < rows; ++y) {
          if (depth > 8) {
            auto* row = reinterpret_cast<uint16_t*>(in->data[p] + y * in->linesize[p]);
            for (int x = 0; x < in->linesize[p] / 2; ++x) row[x] = uint16_t(rng() & 1023);
          } else {
            for (int x = 0; x < in->linesize[p]; ++x) in->data[p][y * in->linesize[p] + x] = uint8_t(rng());
          }
        }
      }
      const cli::RenderLayout layout = cli::ChooseRenderLayout(format);
      cli::LibraryImage image(layout, w, h);
      cli::FrameConverter converter;
      converter.ToLibrary(*in, image);
      converter.FromLibrary(image, *out);
      for (int p = 0; p < 4 && in->data[p]; ++p) {
        const int rows = p == 0 || format == AV_PIX_FMT_BGR24 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
        const int bytes = av_image_get_linesize(format, w, p);
        for (int y = 0; y < rows; ++y)
          ASSERT_EQ(std::memcmp(in->data[p] + y * in->linesize[p], out->data[p] + y * out->linesize[p], size_t(bytes)), 0)
              << av_get_pix_fmt_name(format) << " " << w << "x" << h << " plane " << p << " row " << y;
      }
      int pitch = 0;
      const uint8_t* luma = converter.Luma(*in, pitch);
      ASSERT_NE(luma, nullptr);
      EXPECT_GE(pitch, w);
    }
  }
}

}  // namespace
}  // namespace vendrix::testing
