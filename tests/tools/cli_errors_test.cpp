// What bad input gets from the vendrix command: one line naming the problem, a non-zero status and no
// output file (nor any temporary left beside it). Damage inside a clip is skipped, not fatal.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "cli_support.h"

namespace vendrix::testing {
namespace {

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
  ASSERT_EQ(RunShell("ffmpeg -v error -i " + Clip() + " -c copy -y " + (*dir_ / "h264.mkv") + " && sed 's#V_MPEG4/ISO/AVC#V_MPEG4/ISO/ZZZ#' " +
                     (*dir_ / "h264.mkv") + " > " + (*dir_ / "unknown.mkv") + " && rm " + (*dir_ / "h264.mkv")),
            0);
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
  // Every motion file the loader refuses (damaged ones too: tests/tools/cli_formats_test.cpp) ends so.
  ExpectRefused("render -q " + Clip() + " " + (*dir_ / "clip.mp4") + " " + out, 1, "not a vendrix motion file");
}

TEST_F(CliErrors, CorruptPacketsAreSkippedWithAWarning) {
  // PNG frames: damage inside one breaks its compressed data, which the decoder refuses outright.
  const std::string png = In("png.mkv");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -c:v png -y " + png));
  ASSERT_EQ(RunShell("yes damaged | head -c 64 | dd of=" + png + " bs=1 seek=" + std::to_string(std::filesystem::file_size(png) / 2) +
                     " conv=notrunc status=none"),
            0);
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
