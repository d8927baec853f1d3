#include "motion_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fmt/format.h>

#include "atomic_file.h"
#include "band_mesh.h"
#include "cli_error.h"

extern "C" {
#include <libavutil/crc.h>
}

namespace vendrix::cli {

namespace {

constexpr char kMagic[8] = {'V', 'X', 'M', 'O', 'T', 'I', 'O', 'N'};

uint32_t Crc(const std::string& bytes) {
  return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, reinterpret_cast<const uint8_t*>(bytes.data()),
                bytes.size()) ^ 0xFFFFFFFFu;
}

template <typename T>
void Put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

class Reader {
 public:
  Reader(const std::string& bytes, const std::string& path) : bytes_(bytes), path_(path) {}
  template <typename T>
  T Get() {
    T v;
    Take(&v, sizeof v);
    return v;
  }
  void Take(void* out, size_t n) {
    if (n > bytes_.size() - at_) throw CliError(fmt::format("{} is damaged (cut short)", path_));
    // A file without path samples reads zero flags into an empty vector, whose data() may be null,
    // which memcpy must not be given even for zero bytes.
    if (n == 0) return;
    std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
  }
  size_t left() const { return bytes_.size() - at_; }

 private:
  const std::string& bytes_;
  const std::string& path_;
  size_t at_ = 0;
};

}  // namespace

void SaveMotion(const std::string& path, const Motion& m) {
  std::string out(kMagic, sizeof kMagic);
  Put(out, (IsInterlaced(m.field_order) ? kInterlacedMotionFileVersion : kMotionFileVersion) +
               (m.bands.empty() ? 0 : kBandsVersionStep));
  Put(out, m.video_width);
  Put(out, m.video_height);
  Put(out, m.frames);
  Put(out, m.settings);
  Put(out, uint64_t(m.comp.size() * 4));
  out.append(reinterpret_cast<const char*>(m.comp.data()), m.comp.size() * 4);
  Put(out, uint64_t(m.camera.size()));
  for (size_t i = 0; i < m.camera.size(); ++i) {
    for (const PathSample& s : {m.camera[i], m.smoothed[i]}) {
      Put(out, s.x);
      Put(out, s.y);
      Put(out, s.rotation);
      Put(out, s.zoom);
    }
  }
  for (size_t i = 0; i < m.camera.size(); ++i) out += char(i < m.measured.size() ? m.measured[i] : 1);
  if (!m.bands.empty()) {
    Put(out, uint64_t(m.bands.size()));
    out.append(reinterpret_cast<const char*>(m.bands.data()), m.bands.size() * sizeof(int16_t));
  }
  Put(out, Crc(out));

  WriteFileAtomically(path, out);
}

Motion LoadMotion(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw CliError(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() < sizeof kMagic + 4 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    throw CliError(fmt::format("{} is not a vendrix motion file", path));
  Reader r(bytes, path);
  char magic[8];
  r.Take(magic, sizeof magic);
  const uint32_t version = r.Get<uint32_t>();
  // Version 1 files lack the per-entry measured flags; everything else is the same.
  if (version < 1 || version > kNewestMotionFileVersion)
    throw CliError(fmt::format("{} has motion file version {}; this vendrix reads versions 1 to {}", path, version,
                               kNewestMotionFileVersion));
  const bool with_bands = version > kInterlacedMotionFileVersion;
  const bool interlaced = (with_bands ? version - kBandsVersionStep : version) == kInterlacedMotionFileVersion;
  if (bytes.size() < 4 + sizeof magic + 4) throw CliError(fmt::format("{} is damaged (cut short)", path));
  uint32_t stored;
  std::memcpy(&stored, bytes.data() + bytes.size() - 4, 4);
  if (stored != Crc(bytes.substr(0, bytes.size() - 4))) throw CliError(fmt::format("{} is damaged (checksum mismatch)", path));

  Motion m;
  m.video_width = r.Get<int32_t>();
  m.video_height = r.Get<int32_t>();
  m.frames = r.Get<int64_t>();
  m.settings = r.Get<PathSettings>();
  const uint64_t comp_bytes = r.Get<uint64_t>();
  if (m.video_width <= 0 || m.video_height <= 0 || m.frames <= 0 || m.frames > INT32_MAX / 2 ||
      comp_bytes != uint64_t(VENDRIX_COMP_B_SIZE(interlaced ? 2 * m.frames : m.frames)) || comp_bytes > r.left())
    throw CliError(fmt::format("{} is damaged (inconsistent sizes)", path));
  m.comp.resize(comp_bytes / 4);
  r.Take(m.comp.data(), comp_bytes);
  if (m.comp[0] != VENDRIX_COMP_B_TAG || m.comp[1] != VENDRIX_COMP_MAGIC)
    throw CliError(fmt::format("{} is damaged (no compensation array)", path));
  m.field_order = FieldOrderOfComp(m.comp);
  if (IsInterlaced(m.field_order) != interlaced)
    throw CliError(fmt::format("{} is damaged (inconsistent sizes)", path));
  const uint64_t samples = r.Get<uint64_t>();
  if (samples > r.left() / 64) throw CliError(fmt::format("{} is damaged (inconsistent sizes)", path));
  m.camera.resize(samples);
  m.smoothed.resize(samples);
  for (uint64_t i = 0; i < samples; ++i) {
    for (PathSample* s : {&m.camera[i], &m.smoothed[i]}) {
      s->x = r.Get<double>();
      s->y = r.Get<double>();
      s->rotation = r.Get<double>();
      s->zoom = r.Get<double>();
    }
  }
  m.measured.assign(samples, 1);
  if (version >= 2) {
    if (r.left() < samples + 4) throw CliError(fmt::format("{} is damaged (cut short)", path));
    r.Take(m.measured.data(), samples);
  }
  if (with_bands) {
    const uint64_t values = r.Get<uint64_t>();
    if (values != uint64_t(m.entries()) * kBandValues || values * sizeof(int16_t) + 4 > r.left())
      throw CliError(fmt::format("{} is damaged (inconsistent sizes)", path));
    m.bands.resize(values);
    r.Take(m.bands.data(), values * sizeof(int16_t));
  }
  return m;
}

}  // namespace vendrix::cli
