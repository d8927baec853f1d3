// The exports as a host sees them, through the public header and the shared library (loaded, and so
// attached, by the dynamic loader): how they answer bad queries, and golden outputs.
//
// Golden outputs: a fingerprint of everything the exports write for a fixed set of inputs (analysis
// queries, compensation arrays B and D after several finishings, texture-map definitions, frames
// rendered in every pixel format with every finishing option, conversions, mixes and previews).
// Changes that are meant to keep behaviour (restructuring, speed work) must leave every hash equal.
// When a change alters behaviour on purpose, the failure lists the new values in the file's format.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace {

constexpr int kW = 320, kH = 240, kFrames = 48;

uint64_t Fnv(const void* data, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
  return h;
}

std::map<std::string, uint64_t> g_hashes;

template <class T>
void Add(const std::string& name, const std::vector<T>& v) {
  g_hashes[name] = Fnv(v.data(), v.size() * sizeof(T));
}

PathSettings Profile(uint32_t i) {
  PathSettings s{};
  ApplyProfile(i, &s);
  return s;
}

void Scan(GlobalMotionPath* path, const cv::Mat& frame, uint32_t index, const PathSettings& s) {
  ScanInput in{VENDRIX_SCAN_INPUT_TAG, VENDRIX_PIXFMT_BGRA8, 0, 0, 0, frame.cols, frame.rows,
               static_cast<int32_t>(frame.step[0]), frame.data, 1.0f, s};
  ScanMapB(path, index, &in);
}

// Array B (tag 1005) or D (2001) with the settings placed where the definitions read the framing.
std::vector<uint32_t> Array(GlobalMotionPath* path, const PathSettings& s, uint32_t tag) {
  const bool b = tag == VENDRIX_COMP_B_TAG;
  std::vector<uint32_t> a(static_cast<size_t>((b ? SizeOfMotionCompArrayBPath(path) : SizeOfMotionCompArrayDPath(path)) / 4));
  a[0] = tag;
  EXPECT_EQ((b ? CopyMotionCompArrayBPath : CopyMotionCompArrayDPath)(path, a.data(), int32_t(a.size() * 4)), 1u);
  std::memcpy(reinterpret_cast<uint8_t*>(a.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &s, sizeof(s));
  return a;
}

// Finishes `path` with `s`, keeping the analysis for the next finishing, and adds arrays B and D.
std::pair<std::vector<uint32_t>, std::vector<uint32_t>> FinishAndAdd(GlobalMotionPath* path, const PathSettings& s,
                                                                     const std::string& tag) {
  FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &s);
  std::pair arrays{Array(path, s, VENDRIX_COMP_B_TAG), Array(path, s, VENDRIX_COMP_D_TAG)};
  Add(tag + "/B", arrays.first), Add(tag + "/D", arrays.second);
  return arrays;
}

void AddQueries(GlobalMotionPath* path) {
  std::vector<float> q{static_cast<float>(GetCurrentAnalysisFrameCount(path))};
  for (int e = 0; e < kFrames; ++e) {
    float t[3] = {}, r[3] = {};
    q.push_back(float(GetAnalysisFrameTranslation(path, 0, e, t) + GetAnalysisFrameRotation(path, 0, e, r)));
    q.insert(q.end(), {t[0], t[1], t[2], r[0], r[1], r[2]});
  }
  FrameMvRecord mv{VENDRIX_FRAME_MV_TAG};
  GetFrameMV(path, 0, &mv);
  q.insert(q.end(), reinterpret_cast<float*>(&mv), reinterpret_cast<float*>(&mv + 1));
  Add("tracked/queries", q);
}

// Definitions of a few frames under every framing mode and the output options that change them; the
// host-owned buffer pointers stay null so that the records hash the same in every run.
void AddDefinitions(const std::string& tag, std::vector<uint32_t> b, std::vector<uint32_t> d) {
  std::vector<int32_t> out;
  for (int32_t mode = 0; mode <= 6; ++mode)
    for (int32_t amount : {0, 19660, 65535})
      for (uint32_t flags : {0u, 0x1u | 0x10u, 0x2u | 0x20u, 0x100u}) {
        for (auto* a : {&b, &d}) {
          auto* s = reinterpret_cast<PathSettings*>(reinterpret_cast<uint8_t*>(a->data()) + VENDRIX_COMP_OFFSET_SETTINGS);
          s->FramingMode = mode, s->FramingAmount = amount, s->OutputFlags = flags;
        }
        for (int32_t frame : {-1, 0, 17, kFrames - 1, kFrames + 3}) {
          TexMapDefA a{VENDRIX_TEXMAP_A_VERSION, 0, 0, 0x80000u};
          TexMapDefD dd{VENDRIX_TEXMAP_D_VERSION};
          out.push_back(DefTexMapA(&a, b.data(), 0, frame, 0, 480, 270) + 10 * DefTexMapA(&a, b.data(), 1, frame, 0, 480, 270) +
                        100 * DefTexMapD(&dd, d.data(), 0, frame, 0, 200, 150));
          out.insert(out.end(), reinterpret_cast<int32_t*>(&a), reinterpret_cast<int32_t*>(&a + 1));
          out.insert(out.end(), reinterpret_cast<int32_t*>(&dd), reinterpret_cast<int32_t*>(&dd + 1));
        }
      }
  Add(tag + "/definitions", out);
}

// Bytes per pixel (1 for the 4:2:0 layouts, whose chroma rows follow) and whether channels are floats.
struct Layout {
  uint32_t format;
  int bytes;
  bool floats;
};
const Layout kLayouts[] = {{1, 4, false},  {2, 3, false},  {8, 4, false},  {9, 2, false},  {10, 2, false},
                           {11, 4, false}, {12, 1, false}, {15, 4, false}, {16, 8, false}, {17, 16, true},
                           {18, 8, false}, {19, 16, true}, {20, 8, false}, {21, 16, true}, {22, 8, false},
                           {23, 16, true}, {24, 1, false}};

Layout LayoutOf(uint32_t code) {
  for (const Layout& l : kLayouts)
    if (l.format == code) return l;
  return {code, 4, false};  // v210 and 16-bit 4:2:2: four bytes per pixel hold their groups
}
int32_t Pitch(const Layout& l, int w) { return (w * l.bytes + 15) & ~15; }

std::vector<uint8_t> RandomImage(const Layout& l, int w, int h, uint32_t seed) {
  std::vector<uint8_t> img(size_t(Pitch(l, w)) * (l.bytes == 1 ? h + (h + 1) / 2 : h) + 64);
  std::mt19937 rng(seed);
  for (size_t i = 0; i + 4 <= img.size(); i += 4) {
    const float f = float(rng() % 1001) / 1000.0f;
    const uint32_t v = rng();
    std::memcpy(&img[i], l.floats ? static_cast<const void*>(&f) : &v, 4);
  }
  return img;
}

// Frames rendered from frame 17's definition in every layout with every option the renderer has, one
// hash per layout over its options' frames in order.
void AddRenders(const std::vector<uint32_t>& b, const std::vector<uint32_t>& d) {
  constexpr int kSw = 96, kSh = 72, kOw = 88, kOh = 66;
  struct Option {
    const char* name;
    uint32_t mapFlags, rotation;
    bool bands;
  };
  const Option options[] = {{"plain", 0, 0, false},      {"fill", 0x3, 0, false},     {"grid", 0x11, 0, false},
                            {"border", 0x21, 0, false},   {"extend", 0x100, 0, false}, {"split-left", 0x1001, 0, false},
                            {"split-top", 0x2040, 0, false}, {"mesh", 0x201, 0, true},    {"turned", 0x1, 1, true}};
  for (const Layout& l : kLayouts) {
    const std::vector<uint8_t> src = RandomImage(l, kSw, kSh, l.format);
    std::vector<uint64_t> hashes;
    for (const Option& o : options) {
      std::vector<uint8_t> out = RandomImage(l, kOw, kOh, 1000 + l.format);
      TexMapDefD dd{VENDRIX_TEXMAP_D_VERSION};
      DefTexMapD(&dd, d.data(), 0, 17, 0, kOw, kOh);
      if (o.bands)
        for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k) dd.bandShift[k] = {(k % 5 - 2) << 15, (k % 3 - 1) << 14};
      dd.pixelFormat = l.format;
      dd.mapFlags |= o.mapFlags;
      dd.rotation = o.rotation;
      dd.srcAspect = o.rotation ? 1.25f : 0.0f;
      dd.srcRect = {0, 0, kSw << 16, kSh << 16}, dd.srcPitch = Pitch(l, kSw), dd.srcRows = kSh, dd.srcBuffer = src.data();
      dd.outRect = {0, 0, kOw << 16, kOh << 16}, dd.outPitch = Pitch(l, kOw), dd.outRows = kOh, dd.outBuffer = out.data();
      TexMapD(&dd);
      hashes.push_back(Fnv(out.data(), out.size()));
    }
    // Version A, in place (the output buffer is also the source) where the layout allows it.
    std::vector<uint8_t> img = RandomImage(l, kSw, kSh, 7 + l.format);
    TexMapDefA a{VENDRIX_TEXMAP_A_VERSION};
    DefTexMapA(&a, b.data(), 0, 30, 0, kSw, kSh);
    a.pixelFormat = l.format;
    a.mapFlags |= (l.bytes == 4 || l.format == VENDRIX_PIXFMT_YUYV8) ? 0x10000u : 0u;
    a.srcRect = a.outRect = {0, 0, kSw << 16, kSh << 16}, a.srcPitch = a.outPitch = Pitch(l, kSw);
    a.srcRows = a.outRows = kSh, a.srcBuffer = a.outBuffer = img.data();
    TexMap(&a);
    hashes.push_back(Fnv(img.data(), img.size()));
    Add("tracked/p41/render/" + std::to_string(l.format), hashes);
  }
}

// Every (destination, source) pair in both modes, resampled and at the same size, plus a field
// selection; destinations start from a pattern so that "nothing written" is part of the result.
void AddConversionsAndMixes() {
  for (uint32_t dst = 1; dst <= 24; ++dst) {
    if (dst >= 3 && dst <= 7) continue;
    std::vector<uint64_t> hashes;
    for (uint32_t src = 1; src <= 24; ++src)
      for (uint32_t mode : {0u, 1u})
        for (int size = 0; size < 3 && !(src >= 3 && src <= 7); ++size) {
          const Layout ls = LayoutOf(src), ld = LayoutOf(dst);
          const int dw = size == 0 ? 36 : 50, dh = size == 0 ? 20 : 13;
          std::vector<uint8_t> s = RandomImage(ls, 36, 20, src * 31 + 1);
          std::vector<uint8_t> o(size_t(Pitch(ld, dw)) * (dh + dh / 2 + 1) + 64, 0xA5);
          ConvRecord r{VENDRIX_IMAGE_TAG, mode};
          r.source = {src, size == 2 ? 6u : 0u, 0, 0, 36, 20, Pitch(ls, 36), 0, s.data()};
          r.destination = {dst, 0, 0, 0, dw, dh, Pitch(ld, dw), 0, o.data()};
          ConvImage(&r);
          hashes.push_back(Fnv(o.data(), o.size()));
        }
    Add("convert/" + std::to_string(dst), hashes);
  }
  for (const Layout& l : kLayouts) {
    std::vector<uint64_t> hashes;
    for (int32_t weight : {-5, 0, 1, 30000, 65535, 70000}) {
      std::vector<uint8_t> a = RandomImage(l, 29, 11, 1), b = RandomImage(l, 32, 9, 2), c = RandomImage(l, 28, 11, 3);
      MixRecord m{VENDRIX_IMAGE_TAG, l.format, 0, 0, 0, 29, 11, Pitch(l, 29), a.data()};
      m.b = {l.format, 0, 0, 0, 32, 9, Pitch(l, 32), 0, b.data()};
      m.c = {l.format, 0, 0, 0, 28, 11, Pitch(l, 28), 0, c.data()};
      m.mixMode = VENDRIX_MIX_LINEAR;
      m.weight = weight;
      MixABImage(&m);
      hashes.push_back(Fnv(c.data(), c.size()));
    }
    Add("mix/" + std::to_string(l.format), hashes);
  }
}

void AddPreviews(const std::string& tag, GlobalMotionPath* path, const cv::Mat& frame) {
  for (uint32_t dst : {1u, 2u, 10u, 12u}) {
    const Layout ld = LayoutOf(dst);
    std::vector<uint8_t> o(size_t(Pitch(ld, 160)) * 180, 0);
    ConvRecord r{VENDRIX_IMAGE_TAG, 0};
    r.source = {VENDRIX_PIXFMT_BGRA8, 0, 0, 0, frame.cols, frame.rows, int32_t(frame.step[0]), 0, frame.data};
    r.destination = {dst, 0, 0, 0, 160, 120, Pitch(ld, 160), 0, o.data()};
    PrepPreviewImage(path, 0, &r);
    Add(tag + "/preview/" + std::to_string(dst), o);
  }
}

TEST(Golden, EveryExportWritesWhatItWroteBefore) {
  const cv::Mat texture = vendrix::testing::MakeTexture(kW + 200, kH + 200, 11);
  std::mt19937 rng(5);
  std::normal_distribution<double> shake(0.0, 2.5);
  std::vector<cv::Mat> clip;
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat bgra;
    cv::cvtColor(vendrix::testing::RenderFrame(texture, kW, kH, {0.4 * i + shake(rng), shake(rng), 0.004 * shake(rng)}),
                 bgra, cv::COLOR_GRAY2BGRA);
    clip.push_back(bgra);
  }
  GlobalMotionPath* path = NewGlobalMotionPath(0, kFrames, VENDRIX_PATH_KEEP_MATCHES);
  ASSERT_NE(path, nullptr);
  const PathSettings def = Profile(VENDRIX_PROFILE_DEFAULT);
  for (int i = 0; i < kFrames; ++i) Scan(path, clip[i], uint32_t(i), def);
  AddPreviews("tracked", path, clip[5]);
  // The matrix finisher under several settings.
  for (uint32_t profile : {41u, 35u, 36u, 38u, 40u}) {
    const auto [b, d] = FinishAndAdd(path, Profile(profile), "tracked/p" + std::to_string(profile));
    if (profile == 41) AddQueries(path), AddDefinitions("tracked/p41", b, d), AddRenders(b, d);
  }
  FinishPath(path, nullptr);
  Add("tracked/null-request/B", Array(path, def, VENDRIX_COMP_B_TAG));
  FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_NO_WAIT};
  FinishPath(path, &settle);
  Add("tracked/settle/B", Array(path, def, VENDRIX_COMP_B_TAG));

  DeleteGlobalMotionPath(path);

  // Block matching at levels 3, 4, 2 and 6 over the first frames, with kept match lists: the additive
  // finisher, the re-fit pass with the camera model and the matrix finisher.
  for (uint32_t profile : {16u, 30u, 7u, 34u}) {
    const PathSettings s = Profile(profile);
    path = NewGlobalMotionPath(0, 24, VENDRIX_PATH_KEEP_MATCHES);
    for (uint32_t i = 0; i < 24; ++i) Scan(path, clip[i], i, s);
    const auto [b, d] = FinishAndAdd(path, s, "blocks/p" + std::to_string(profile));
    if (profile == 16) AddDefinitions("blocks/p16", b, d);
    if (profile != 34) DeleteGlobalMotionPath(path);
  }
  AddPreviews("blocks", path, clip[23]);
  DeleteGlobalMotionPath(path);
  AddConversionsAndMixes();

  // The file holds the hashes in the same form; a failure shows the new file and its difference.
  std::ostringstream all, want;
  for (const auto& [key, hash] : g_hashes) all << key << ' ' << std::hex << hash << '\n';
  want << std::ifstream(VENDRIX_GOLDEN_FILE).rdbuf();
  EXPECT_EQ(all.str(), want.str()) << "outputs differ from " << VENDRIX_GOLDEN_FILE;
}

TEST(Exports, PathLifecycleSizesAndQueryFailures) {
  GlobalMotionPath* path = NewGlobalMotionPath(0, 100, VENDRIX_PATH_INTERLACED);
  ASSERT_NE(path, nullptr);
  // Two entries per interlaced frame.
  EXPECT_EQ(SizeOfMotionCompArrayBPath(path), VENDRIX_COMP_B_SIZE(200));
  EXPECT_EQ(SizeOfMotionCompArrayDPath(path), VENDRIX_COMP_D_SIZE(200));
  EXPECT_EQ(GetCurrentAnalysisFrameCount(path), 0);
  float out[3] = {1, 2, 3};
  EXPECT_EQ(GetAnalysisFrameTranslation(path, 0, 199, out), 1);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(GetAnalysisFrameTranslation(path, 0, 200, out), 0);
  EXPECT_EQ(GetAnalysisFrameRotation(path, 1, 0, out), 0);
  FrameMvRecord mv{};
  mv.tag = 2;
  GetFrameMV(path, 0, &mv);
  EXPECT_EQ(mv.workWidth, 0u);
  DeleteGlobalMotionPath(path);

  DeleteGlobalMotionPath(nullptr);
  EXPECT_EQ(SizeOfMotionCompArrayBPath(nullptr) + SizeOfMotionCompArrayDPath(nullptr), 0);
  EXPECT_EQ(GetCurrentAnalysisFrameCount(nullptr), -1);
  GetFrameMV(nullptr, 0, &mv);
  GetFrameMV(nullptr, 0, nullptr);
  // The profile look-up through the export: the default settings are the default profile.
  const PathSettings defaults = Profile(VENDRIX_PROFILE_DEFAULT);
  EXPECT_EQ(FindProfile(&defaults), int32_t{VENDRIX_PROFILE_DEFAULT});
  EXPECT_EQ(FindProfile(nullptr), -1);
}

}  // namespace
