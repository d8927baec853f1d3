// `vendrix stabilize --realtime` end to end: as steady as the offline road on the same clip, with every
// frame, timestamp and audio packet kept, the delay it reports, and the live form from standard input
// to standard output.
#include <gtest/gtest.h>

#include "cli_support.h"

namespace vendrix::testing {
namespace {

// 150 frames (5 s) of handheld shake at 480 x 270 with a sine track: with 40 frames of look-ahead,
// 61 frames are written while the stream still flows, the rest at its end.
class CliRealtime : public SharedClipSuite {
 protected:
  static void SetUpTestSuite() {
    MakeSharedClip("--size 480x270 --frames 150 --seed 5");
    ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -f lavfi -i sine=frequency=440:duration=5 -c:v copy -c:a aac -y " + In("audio.mp4")));
  }
};

TEST_F(CliRealtime, AsSteadyAsTheOfflineRoadKeepingFramesTimestampsAndAudio) {
  const std::string in = In("audio.mp4"), offline = In("offline.mp4"), live = In("live.mp4");
  ASSERT_TRUE(VendrixOk("stabilize -q " + in + " " + offline));
  ASSERT_TRUE(VendrixOk("stabilize -q --realtime --look-ahead 40 " + in + " " + live + " --stats " + In("stats.json")));

  // Steadiness is the share of the input's jitter an output removes; the real-time road keeps at least
  // three quarters of what the offline road achieves with the whole clip in hand.
  const double before = Jitter(CentreMotion(DecodeGrey(in)));
  const double off = Jitter(CentreMotion(DecodeGrey(offline))), rt = Jitter(CentreMotion(DecodeGrey(live)));
  EXPECT_GT(before, 2.0);
  EXPECT_GE(1 - rt / before, 0.75 * (1 - off / before)) << "jitter " << before << " px in, offline " << off << ", real-time " << rt;

  const VideoInfo a = Probe(in), b = Probe(live);
  EXPECT_EQ(b.pts, a.pts);
  ASSERT_EQ(b.streams.size(), 2u);
  EXPECT_EQ(b.streams[1].packets, a.streams[1].packets);
  EXPECT_EQ(b.streams[1].payload_hash, a.streams[1].payload_hash);

  // Each frame waits for the look-ahead and the steady margin (50 frames) less one, no longer.
  const nlohmann::json stats = ReadJson(In("stats.json"));
  EXPECT_EQ(stats["delay_frames"].get<int>(), 89);
  EXPECT_NEAR(stats["delay_s"].get<double>(), 89 / 30.0, 1e-6);
  EXPECT_GT(stats["worst_frame_s"].get<double>(), 0.0);
}

TEST_F(CliRealtime, StandardInputToStandardOutput) {
  // ffmpeg streams MPEG-TS into the command, whose own MPEG-TS stream is read back.
  const std::string vendrix = VENDRIX_CLI_PATH, out = In("piped.ts");
  ASSERT_EQ(RunShell("ffmpeg -v error -i " + Clip() + " -c copy -f mpegts - | " + vendrix +
                     " stabilize -q --realtime - - --format mpegts > " + out),
            0);
  EXPECT_EQ(Probe(out).pts.size(), 150u);

  // A reader that stops early ends the run with a message and status 0.
  RunShell("(" + vendrix + " stabilize -q --realtime " + Clip() + " - --format mpegts 2>" + In("err") + "; echo $? >" +
           In("status") + ") | head -c 20000 >/dev/null");
  const std::string message = Slurp(In("err"));
  EXPECT_EQ(Slurp(In("status")), "0\n");
  EXPECT_NE(message.find("standard output was closed by its reader"), std::string::npos) << message;
}

}  // namespace
}  // namespace vendrix::testing
