// The command's own formats, checked in process: the motion file, the settings the options make and the
// frame layouts handed to the library. Then what bad input gets from the command: one line naming the
// problem, a non-zero status and no output file (nor any temporary left beside it); damage inside a
// clip is skipped, not fatal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "band_mesh.h"
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
  EXPECT_TRUE(back.bands.empty());
  // Rolling-shutter bands make the file the next version up; a file without them stays readable by
  // readers that predate them.
  cli::Motion banded = m;
  for (int i = 0; i < 3 * cli::kBandValues; ++i) banded.bands.push_back(int16_t(i * 37 - 3000));
  cli::SaveMotion(dir / "b.vxm", banded);
  EXPECT_EQ(cli::LoadMotion(dir / "b.vxm").bands, banded.bands);
  EXPECT_EQ(Slurp(dir / "b.vxm")[8], 4);

  const std::string bytes = Slurp(dir / "m.vxm");
  EXPECT_EQ(bytes[8], 2);
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
  refused(with(8, 6), "version 6");  // a newer format
}

TEST(Settings, OptionsMapOntoTheRecord) {
  // The default profile is analysed at level 9; the smoothing option keeps the profile's ratio of the
  // two strengths (26214 : 19660).
  cli::AnalysisOptions a{.smoothing = 0.8};
  const PathSettings s = cli::AnalysisSettings(a);
  EXPECT_TRUE(s.AnalysisLevel == 9 && s.Smoothing == 52429 && s.SecondarySmoothing == 39321);
  // The rolling-shutter stages take out the rows' wobble; straightening the skew is asked for.
  EXPECT_EQ(s.AnalysisFlags & (VENDRIX_ANALYSIS_ROLLING_SHUTTER | VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT),
            VENDRIX_ANALYSIS_ROLLING_SHUTTER);
  a.unskew = true;
  EXPECT_NE(cli::AnalysisSettings(a).AnalysisFlags & VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT, 0u);
  a.profile = 3;  // a block-matching profile is analysed at its own level
  EXPECT_EQ(cli::AnalysisSettings(a).AnalysisLevel, 3);
  // Profile framing leaves the record as it is. (What the other framings and views look like is
  // measured on rendered clips in cli_stabilize_test.)
  const PathSettings look = cli::RenderSettings(s, {.framing = "profile"});
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
        f->format = format, f->width = w, f->height = h;
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

class CliErrors : public SharedClipSuite {
 protected:
  static void SetUpTestSuite() { MakeSharedClip("--size 320x180 --frames 30"); }

  // Runs the command, which must fail with `status` and a message containing `message`, leaving the
  // folder as it was.
  void ExpectRefused(const std::string& args, int status, const std::string& message, const std::string& prefix = "") {
    const std::vector<std::string> before = dir_->Entries();
    const RunResult r = RunVendrix(args, prefix);
    EXPECT_EQ(r.status, status) << args << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("vendrix: error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(dir_->Entries(), before) << args;
  }
};

// A file-size limit makes writes fail as a full disk does (the signal it raises is ignored).
const std::string kFullDisk = "trap '' XFSZ; ulimit -f 40; ";

TEST_F(CliErrors, UnusableInputsAndAFullDisk) {
  const std::string out = *dir_ / "out.mp4";
  std::ofstream(*dir_ / "notes.txt") << "not a video\n";
  ASSERT_TRUE(FfmpegOk("-f lavfi -i sine=duration=1 -y " + (*dir_ / "sound.wav")));
  // A Matroska video track whose codec id nothing decodes.
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -c copy -y " + (*dir_ / "h264.mkv") + " && sed 's#V_MPEG4/ISO/AVC#V_MPEG4/ISO/ZZZ#' " +
                       (*dir_ / "h264.mkv") + " > " + (*dir_ / "unknown.mkv") + " && rm " + (*dir_ / "h264.mkv")));
  // Both roads say the same.
  for (const std::string command : {"stabilize -q ", "stabilize -q --realtime "}) {
    ExpectRefused(command + (*dir_ / "missing.mp4") + " " + out, 1, "No such file or directory");
    ExpectRefused(command + (*dir_ / "notes.txt") + " " + out, 1, "notes.txt");
    ExpectRefused(command + (*dir_ / "sound.wav") + " " + out, 1, "has no video stream");
    ExpectRefused(command + (*dir_ / "unknown.mkv") + " " + out, 1, "unsupported video codec");
    ExpectRefused(command + " - " + out + " < " + (*dir_ / "notes.txt"), 1, "standard input");
    ExpectRefused(command + Clip() + " " + (*dir_ / "big.mp4") + " --crf 0", 1, "cannot write", kFullDisk);
  }
  ExpectRefused("shake -q --preset static " + SampleImage() + " " + (*dir_ / "big.mp4") + " --crf 0", 1, "cannot write", kFullDisk);
}

TEST_F(CliErrors, BadOptionsAndNames) {
  const std::string out = *dir_ / "out.mp4";
  ExpectRefused("stabilize -q " + Clip() + " " + out + " --wobble", 2, "--wobble");
  ExpectRefused("stabilize -q " + Clip() + " " + out + " --profile 42", 2, "--profile");
  ExpectRefused("stabilize -q " + Clip() + " " + out + " --analysis-level 12", 2, "--analysis-level");
  ExpectRefused("stabilize -q " + Clip() + " " + (*dir_ / "out.unknownext"), 1, "cannot tell the container");
  ExpectRefused("stabilize -q " + Clip() + " " + Clip(), 1, "would overwrite the input");
  ExpectRefused("stabilize -q " + Clip() + " -", 1, "needs --format");
  ExpectRefused("stabilize -q - " + out + " < " + Clip(), 1, "can be read only once");
  ExpectRefused("stabilize -q " + Clip() + " " + out + " --look-ahead 40", 2, "--realtime");
  ExpectRefused("stabilize -q --realtime " + Clip() + " " + out + " --plot p.svg", 2, "--realtime");
  ExpectRefused("shake -q " + SampleImage() + " " + out + " --size 12by7", 1, "--size");
  // Every motion file the loader refuses (damaged ones too: MotionFile above) ends so.
  ExpectRefused("render -q " + Clip() + " " + (*dir_ / "clip.mp4") + " " + out, 1, "not a vendrix motion file");
}

TEST_F(CliErrors, CorruptPacketsAreSkippedWithAWarning) {
  // PNG frames: damage inside one breaks its compressed data, which the decoder refuses outright.
  const std::string png = In("png.mkv");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -c:v png -y " + png));
  ASSERT_EQ(RunShell("yes damaged | head -c 64 | dd of=" + png + " bs=1 conv=notrunc status=none seek=" +
                     std::to_string(std::filesystem::file_size(png) / 2)), 0);
  const RunResult r = RunVendrix("stabilize -q " + png + " " + In("skipped.mkv") + " --codec ffv1");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  const VideoInfo info = Probe(In("skipped.mkv"));
  EXPECT_GE(info.pts.size(), 26u);
  EXPECT_LT(info.pts.size(), 30u);
}

TEST(CliProfiles, ListsEveryProfile) {
  const RunResult r = RunVendrix("profiles");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 43);
  EXPECT_NE(r.out.find("(default)"), std::string::npos);
}

}  // namespace
}  // namespace vendrix::testing
