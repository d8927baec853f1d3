// The command's motion-file reader on files built field by field: mostly consistent sizes, tags and
// checksum, with the odd wrong one. An accepted file goes through FramingZoom, which hands its array to
// DefTexMapA as `vendrix render` does; an input counts as reaching the library when the file was accepted.
#include <unistd.h>

#include <fstream>
#include <string>

extern "C" {
#include <libavutil/crc.h>
}

#include "fuzz/fuzz_support.h"
#include "cover_framing.h"
#include "motion.h"
#include "motion_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto rarely = [&] { return in.ConsumeIntegralInRange(0, 15) == 15; };
  const uint32_t version = rarely() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange(1u, 3u);
  const int64_t frames = rarely() ? in.ConsumeIntegral<int64_t>() : in.ConsumeIntegralInRange(1, 4);
  const int64_t entries = std::clamp<int64_t>(frames, 0, 4) * (version == 3 ? 2 : 1);
  std::string file("VXMOTION");
  auto put = [&](auto v) { file.append(reinterpret_cast<const char*>(&v), sizeof v); };
  put(version);
  for (int32_t side : {in.ConsumeIntegralInRange(-1, 4000), in.ConsumeIntegralInRange(-1, 4000)}) put(side);
  put(frames), put(FuzzSettings(in));
  const int64_t records = std::clamp<int64_t>(rarely() ? in.ConsumeIntegralInRange(-1, 9) : entries, 0, 9);
  put(uint64_t(VENDRIX_COMP_B_SIZE(records)));
  const size_t comp = file.size();
  file.resize(comp + size_t(VENDRIX_COMP_B_SIZE(records)));  // the spare record stays zero
  const MotionCompHeader head{rarely() ? 0u : VENDRIX_COMP_B_TAG, rarely() ? 0u : VENDRIX_COMP_MAGIC,
                              int32_t(rarely() ? in.ConsumeIntegralInRange<int64_t>(-1, 12) : records),
                              in.ConsumeIntegralInRange(0, 400), in.ConsumeIntegralInRange(0, 400),
                              in.ConsumeIntegralInRange(0u, 7u), -in.ConsumeIntegral<uint16_t>(), -in.ConsumeIntegral<uint16_t>(),
                              in.ConsumeIntegral<uint16_t>(), in.ConsumeIntegral<uint16_t>(), version == 3 ? 1u : rarely()};
  std::memcpy(file.data() + comp, &head, sizeof head);
  for (int64_t i = 0; i < records * 9; ++i)
    reinterpret_cast<int32_t*>(file.data() + comp + VENDRIX_COMP_B_OFFSET_RECORDS)[i] = in.ConsumeIntegralInRange(-1 << 22, 1 << 22);
  const uint64_t samples = rarely() ? in.ConsumeIntegralInRange(0, 12) : uint64_t(records);
  put(samples);
  for (uint64_t i = 0; i < 8 * samples && in.remaining_bytes(); ++i) put(in.ConsumeFloatingPoint<double>());
  file += in.ConsumeRandomLengthString(8 + samples);
  const uint32_t crc = av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, reinterpret_cast<const uint8_t*>(file.data()),
                              file.size()) ^ 0xFFFFFFFFu;
  put(rarely() ? crc + 1 : crc);

  static const std::string name = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vendrix-motion-fuzz-" +
                                   std::to_string(getpid());
  if (!(std::ofstream(name, std::ios::binary) << file)) abort();
  bool loaded = false;
  try {
    const vendrix::cli::Motion motion = vendrix::cli::LoadMotion(name);
    loaded = true;
    vendrix::cli::FramingZoom(motion, vendrix::cli::FramedArray(motion, motion.settings, 0.001));
  } catch (const std::exception&) {
  }
  unlink(name.c_str());
  reach.Count(loaded);
  return 0;
}
