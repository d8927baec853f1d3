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

uint64_t Fnv(const void* data, size_t n, uint64_t h = 1469598103934665603ull) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

class Golden {
 public:
  void Add(const std::string& name, const void* data, size_t n) { got_[name] = Fnv(data, n); }
  template <class T>
  void Add(const std::string& name, const std::vector<T>& v) { Add(name, v.data(), v.size() * sizeof(T)); }

  void Check() const {
    std::map<std::string, uint64_t> want;
    std::ifstream in(VENDRIX_GOLDEN_FILE);
    std::string name;
    uint64_t value;
    while (in >> name >> std::hex >> value) want[name] = value;
    std::ostringstream all;
    int differ = 0;
    for (const auto& [key, hash] : got_) {
      all << key << ' ' << std::hex << hash << '\n';
      differ += !want.count(key) || want.at(key) != hash;
    }
    EXPECT_EQ(differ, 0) << "outputs differ from " << VENDRIX_GOLDEN_FILE << "; new values:\n" << all.str();
    EXPECT_EQ(want.size(), got_.size());
  }

 private:
  std::map<std::string, uint64_t> got_;
};

struct Clip {
  std::vector<cv::Mat> frames;  // BGRA
};

Clip MakeClip() {
  const cv::Mat texture = vendrix::testing::MakeTexture(kW + 200, kH + 200, 11);
  std::mt19937 rng(5);
  std::normal_distribution<double> shake(0.0, 2.5);
  Clip clip;
  for (int i = 0; i < kFrames; ++i) {
    vendrix::testing::CameraPose p{0.4 * i + shake(rng), shake(rng), 0.004 * shake(rng)};
    cv::Mat bgra;
    cv::cvtColor(vendrix::testing::RenderFrame(texture, kW, kH, p), bgra, cv::COLOR_GRAY2BGRA);
    clip.frames.push_back(bgra);
  }
  return clip;
}

PathSettings Profile(uint32_t i) {
  PathSettings s{};
  ApplyProfile(i, &s);
  return s;
}

void Scan(GlobalMotionPath* path, const cv::Mat& frame, uint32_t index, const PathSettings& s) {
  ScanInput in{};
  in.tag = VENDRIX_SCAN_INPUT_TAG;
  in.format = VENDRIX_PIXFMT_BGRA8;
  in.width = frame.cols;
  in.height = frame.rows;
  in.pitch = static_cast<int32_t>(frame.step[0]);
  in.buffer = frame.data;
  in.aspectFactor = 1.0f;
  in.settings = s;
  ScanMapB(path, index, &in);
}

std::vector<uint32_t> ArrayB(GlobalMotionPath* path, const PathSettings& s) {
  std::vector<uint32_t> b(static_cast<size_t>(SizeOfMotionCompArrayBPath(path) / 4), 0);
  b[0] = VENDRIX_COMP_B_TAG;
  EXPECT_EQ(CopyMotionCompArrayBPath(path, b.data(), static_cast<int32_t>(b.size() * 4)), 1u);
  std::memcpy(reinterpret_cast<uint8_t*>(b.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &s, sizeof(s));
  return b;
}

std::vector<uint32_t> ArrayD(GlobalMotionPath* path, const PathSettings& s) {
  std::vector<uint32_t> d(static_cast<size_t>(SizeOfMotionCompArrayDPath(path) / 4), 0);
  d[0] = VENDRIX_COMP_D_TAG;
  EXPECT_EQ(CopyMotionCompArrayDPath(path, d.data(), static_cast<int32_t>(d.size() * 4)), 1u);
  std::memcpy(reinterpret_cast<uint8_t*>(d.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &s, sizeof(s));
  return d;
}

void AddQueries(Golden& g, const std::string& tag, GlobalMotionPath* path) {
  std::vector<float> q;
  q.push_back(static_cast<float>(GetCurrentAnalysisFrameCount(path)));
  for (int e = 0; e < kFrames; ++e) {
    float t[3] = {}, r[3] = {};
    q.push_back(static_cast<float>(GetAnalysisFrameTranslation(path, 0, e, t)));
    q.push_back(static_cast<float>(GetAnalysisFrameRotation(path, 0, e, r)));
    q.insert(q.end(), {t[0], t[1], t[2], r[0], r[1], r[2]});
  }
  FrameMvRecord mv{};
  mv.tag = VENDRIX_FRAME_MV_TAG;
  GetFrameMV(path, 0, &mv);
  g.Add(tag + "/queries", q);
  g.Add(tag + "/frame-mv", &mv, sizeof(mv));
}

// Definitions of a few frames under every framing mode and the output options that change them; the
// host-owned buffer pointers are left null so that the records hash the same in every run.
void AddDefinitions(Golden& g, const std::string& tag, const std::vector<uint32_t>& b, const std::vector<uint32_t>& d) {
  std::vector<uint32_t> b2 = b, d2 = d;
  auto* sb = reinterpret_cast<PathSettings*>(reinterpret_cast<uint8_t*>(b2.data()) + VENDRIX_COMP_OFFSET_SETTINGS);
  auto* sd = reinterpret_cast<PathSettings*>(reinterpret_cast<uint8_t*>(d2.data()) + VENDRIX_COMP_OFFSET_SETTINGS);
  std::vector<int32_t> out;
  for (int32_t mode = 0; mode <= 6; ++mode) {
    for (int32_t amount : {0, 19660, 65535}) {
      for (uint32_t flags : {0u, 0x1u | 0x10u, 0x2u | 0x20u, 0x100u}) {
        sb->FramingMode = sd->FramingMode = mode;
        sb->FramingAmount = sd->FramingAmount = amount;
        sb->OutputFlags = sd->OutputFlags = flags;
        for (int32_t frame : {-1, 0, 17, kFrames - 1, kFrames + 3}) {
          TexMapDefA a{};
          a.version = VENDRIX_TEXMAP_A_VERSION;
          a.mapFlags = 0x80000u;
          out.push_back(DefTexMapA(&a, b2.data(), 0, frame, 0, 480, 270));
          out.push_back(DefTexMapA(&a, b2.data(), 1, frame, 0, 480, 270));
          TexMapDefD dd{};
          dd.version = VENDRIX_TEXMAP_D_VERSION;
          out.push_back(DefTexMapD(&dd, d2.data(), 0, frame, 0, 200, 150));
          const auto* wa = reinterpret_cast<const int32_t*>(&a);
          const auto* wd = reinterpret_cast<const int32_t*>(&dd);
          out.insert(out.end(), wa, wa + sizeof(a) / 4);
          out.insert(out.end(), wd, wd + sizeof(dd) / 4);
        }
      }
    }
  }
  g.Add(tag + "/definitions", out);
}

// Bytes per row of `w` pixels and total rows (planar layouts count their chroma rows) per format.
struct Layout {
  uint32_t format;
  int bytesPerPixel;  // 1 for the planar 4:2:0 layouts
  bool floats;
};
const Layout kLayouts[] = {{1, 4, false},  {2, 3, false},  {8, 4, false},  {9, 2, false},  {10, 2, false},
                           {11, 4, false}, {12, 1, false}, {15, 4, false}, {16, 8, false}, {17, 16, true},
                           {18, 8, false}, {19, 16, true}, {20, 8, false}, {21, 16, true}, {22, 8, false},
                           {23, 16, true}, {24, 1, false}};

int32_t Pitch(const Layout& l, int w) { return (w * l.bytesPerPixel + 15) & ~15; }
int32_t Rows(const Layout& l, int h) { return l.bytesPerPixel == 1 ? h + (h + 1) / 2 : h; }

std::vector<uint8_t> RandomImage(const Layout& l, int w, int h, uint32_t seed) {
  std::vector<uint8_t> img(static_cast<size_t>(Pitch(l, w)) * Rows(l, h) + 64);
  std::mt19937 rng(seed);
  if (l.floats) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (size_t i = 0; i + 4 <= img.size(); i += 4) {
      const float f = u(rng);
      std::memcpy(&img[i], &f, 4);
    }
  } else {
    for (auto& v : img) v = static_cast<uint8_t>(rng());
  }
  return img;
}

// Frames rendered from frame 17's definition in every layout and with every option the renderer has.
void AddRenders(Golden& g, const std::string& tag, const std::vector<uint32_t>& b, const std::vector<uint32_t>& d) {
  constexpr int kSw = 96, kSh = 72, kOw = 88, kOh = 66;
  struct Option {
    const char* name;
    uint32_t mapFlags;
    bool mesh;
    uint32_t rotation;
  };
  const Option options[] = {{"plain", 0, false, 0},         {"fill", 0x3, false, 0},      {"grid", 0x11, false, 0},
                            {"border", 0x21, false, 0},     {"extend", 0x100, false, 0},  {"split-left", 0x1001, false, 0},
                            {"split-top", 0x2040, false, 0}, {"mesh", 0x201, true, 0},    {"turned", 0x1, true, 1}};
  for (const Layout& l : kLayouts) {
    const std::vector<uint8_t> src = RandomImage(l, kSw, kSh, l.format);
    for (const Option& o : options) {
      std::vector<uint8_t> out = RandomImage(l, kOw, kOh, 1000 + l.format);
      const VendrixFxRect src_rect{0, 0, kSw << 16, kSh << 16};
      const VendrixFxRect out_rect{0, 0, kOw << 16, kOh << 16};
      if (!o.mesh) {
        TexMapDefA a{};
        a.version = VENDRIX_TEXMAP_A_VERSION;
        DefTexMapA(&a, b.data(), 0, 17, 0, kOw, kOh);
        a.pixelFormat = l.format;
        a.mapFlags |= o.mapFlags;
        a.srcRect = src_rect;
        a.srcPitch = Pitch(l, kSw);
        a.srcRows = kSh;
        a.srcBuffer = src.data();
        a.outRect = out_rect;
        a.outPitch = Pitch(l, kOw);
        a.outRows = kOh;
        a.outBuffer = out.data();
        TexMap(&a);
      } else {
        TexMapDefD dd{};
        dd.version = VENDRIX_TEXMAP_D_VERSION;
        DefTexMapD(&dd, d.data(), 0, 17, 0, kOw, kOh);
        for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k) dd.bandShift[k] = {(k % 5 - 2) << 15, (k % 3 - 1) << 14};
        dd.pixelFormat = l.format;
        dd.mapFlags |= o.mapFlags;
        dd.rotation = o.rotation;
        dd.srcAspect = o.rotation ? 1.25f : 0.0f;
        dd.srcRect = src_rect;
        dd.srcPitch = Pitch(l, kSw);
        dd.srcRows = kSh;
        dd.srcBuffer = src.data();
        dd.outRect = out_rect;
        dd.outPitch = Pitch(l, kOw);
        dd.outRows = kOh;
        dd.outBuffer = out.data();
        TexMapD(&dd);
      }
      g.Add(tag + "/render/" + std::to_string(l.format) + "/" + o.name, out);
    }
    // The output buffer is also the source.
    if (l.bytesPerPixel == 4 || l.format == VENDRIX_PIXFMT_YUYV8) {
      std::vector<uint8_t> img = RandomImage(l, kSw, kSh, 7 + l.format);
      TexMapDefA a{};
      a.version = VENDRIX_TEXMAP_A_VERSION;
      DefTexMapA(&a, b.data(), 0, 30, 0, kSw, kSh);
      a.pixelFormat = l.format;
      a.mapFlags |= 0x10000u;
      a.srcRect = a.outRect = {0, 0, kSw << 16, kSh << 16};
      a.srcPitch = a.outPitch = Pitch(l, kSw);
      a.srcRows = a.outRows = kSh;
      a.srcBuffer = img.data();
      a.outBuffer = img.data();
      TexMap(&a);
      g.Add(tag + "/render/" + std::to_string(l.format) + "/in-place", img);
    }
  }
}

// Every (destination, source) pair in both modes, resampled and at the same size, plus a field
// selection; destinations start from a pattern so that "nothing written" is part of the result.
void AddConversions(Golden& g) {
  const uint32_t codes[] = {1, 2, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  auto bpp = [](uint32_t c) {
    for (const Layout& l : kLayouts)
      if (l.format == c) return l;
    return Layout{c, 4, false};  // codes 13 and 14: 4 bytes per pixel is room enough for their groups
  };
  for (uint32_t dst : codes) {
    std::vector<uint64_t> hashes;
    for (uint32_t src : codes) {
      for (uint32_t mode : {0u, 1u}) {
        for (int size = 0; size < 3; ++size) {
          const int sw = 36, sh = 20;
          const int dw = size == 0 ? 36 : 50, dh = size == 0 ? 20 : 13;
          const Layout ls = bpp(src), ld = bpp(dst);
          std::vector<uint8_t> s = RandomImage(ls, sw, sh, src * 31 + 1);
          std::vector<uint8_t> o(static_cast<size_t>(Pitch(ld, dw)) * Rows(ld, dh) + 64, 0xA5);
          ConvRecord r{};
          r.tag = VENDRIX_IMAGE_TAG;
          r.mode = mode;
          r.source = {src, size == 2 ? 6u : 0u, 0, 0, sw, sh, Pitch(ls, sw), 0, s.data()};
          r.destination = {dst, 0, 0, 0, dw, dh, Pitch(ld, dw), 0, o.data()};
          ConvImage(&r);
          hashes.push_back(Fnv(o.data(), o.size()));
        }
      }
    }
    g.Add("convert/" + std::to_string(dst), hashes);
  }
}

void AddMixes(Golden& g) {
  for (const Layout& l : kLayouts) {
    std::vector<uint64_t> hashes;
    for (int32_t weight : {-5, 0, 1, 30000, 65535, 70000}) {
      const int w = 29, h = 11;
      std::vector<uint8_t> a = RandomImage(l, w, h, 1), b = RandomImage(l, w + 3, h - 2, 2);
      std::vector<uint8_t> c = RandomImage(l, w - 1, h, 3);
      MixRecord m{};
      m.tag = VENDRIX_IMAGE_TAG;
      m.aFormat = l.format;
      m.aWidth = w;
      m.aHeight = h;
      m.aPitch = Pitch(l, w);
      m.aBuffer = a.data();
      m.b = {l.format, 0, 0, 0, w + 3, h - 2, Pitch(l, w + 3), 0, b.data()};
      m.c = {l.format, 0, 0, 0, w - 1, h, Pitch(l, w - 1), 0, c.data()};
      m.mixMode = VENDRIX_MIX_LINEAR;
      m.weight = weight;
      MixABImage(&m);
      hashes.push_back(Fnv(c.data(), c.size()));
    }
    g.Add("mix/" + std::to_string(l.format), hashes);
  }
}

void AddPreviews(Golden& g, const std::string& tag, GlobalMotionPath* path, const cv::Mat& frame) {
  for (uint32_t dst : {1u, 2u, 10u, 12u}) {
    const Layout ld = dst == 12 ? Layout{12, 1, false} : Layout{dst, dst == 2 ? 3 : (dst == 10 ? 2 : 4), false};
    std::vector<uint8_t> o(static_cast<size_t>(Pitch(ld, 160)) * Rows(ld, 120), 0);
    ConvRecord r{};
    r.tag = VENDRIX_IMAGE_TAG;
    r.source = {VENDRIX_PIXFMT_BGRA8, 0, 0, 0, frame.cols, frame.rows, static_cast<int32_t>(frame.step[0]), 0,
                frame.data};
    r.destination = {dst, 0, 0, 0, 160, 120, Pitch(ld, 160), 0, o.data()};
    PrepPreviewImage(path, 0, &r);
    g.Add(tag + "/preview/" + std::to_string(dst), o);
  }
}

TEST(Golden, EveryExportWritesWhatItWroteBefore) {
  const Clip clip = MakeClip();
  Golden g;
  GlobalMotionPath* path = NewGlobalMotionPath(0, kFrames, VENDRIX_PATH_KEEP_MATCHES);
  ASSERT_NE(path, nullptr);
  const PathSettings def = Profile(VENDRIX_PROFILE_DEFAULT);
  for (int i = 0; i < kFrames; ++i) Scan(path, clip.frames[i], static_cast<uint32_t>(i), def);
  AddPreviews(g, "tracked", path, clip.frames[5]);

  // The matrix finisher under several settings, keeping the analysis for the next finishing.
  for (uint32_t profile : {41u, 35u, 36u, 38u, 40u}) {
    const PathSettings s = Profile(profile);
    FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &s);
    const std::string tag = "tracked/p" + std::to_string(profile);
    const std::vector<uint32_t> b = ArrayB(path, s), d = ArrayD(path, s);
    g.Add(tag + "/B", b);
    g.Add(tag + "/D", d);
    if (profile == 41) {
      AddQueries(g, "tracked", path);
      AddDefinitions(g, tag, b, d);
      AddRenders(g, tag, b, d);
    }
  }
  FinishPath(path, nullptr);
  g.Add("tracked/null-request/B", ArrayB(path, def));
  FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_NO_WAIT};
  FinishPath(path, &settle);
  g.Add("tracked/settle/B", ArrayB(path, def));

  // Released analysis, then one block-matching scan: the kept match lists are re-fitted with the
  // corner, camera and projective models and finished by the additive and matrix finishers.
  FinishPathB(path, 0, &def);
  for (uint32_t profile : {16u, 30u, 7u, 34u}) {
    const PathSettings s = Profile(profile);
    Scan(path, clip.frames[0], 0, s);
    FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &s);
    const std::string tag = "refit/p" + std::to_string(profile);
    const std::vector<uint32_t> b = ArrayB(path, s), d = ArrayD(path, s);
    g.Add(tag + "/B", b);
    g.Add(tag + "/D", d);
    if (profile == 16) AddDefinitions(g, tag, b, d);
  }
  AddPreviews(g, "blocks", path, clip.frames[0]);
  DeleteGlobalMotionPath(path);

  AddConversions(g);
  AddMixes(g);
  g.Check();
}

}  // namespace
