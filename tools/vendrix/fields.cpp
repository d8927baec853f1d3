#include "fields.h"

#include <cstring>

namespace vendrix::cli {

namespace {

// FFmpeg 6.1 moved the interlace flags of a frame into AVFrame::flags.
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
bool FrameInterlaced(const AVFrame& f) { return (f.flags & AV_FRAME_FLAG_INTERLACED) != 0; }
bool FrameTopFirst(const AVFrame& f) { return (f.flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0; }
void SetFrameFlags(AVFrame& f, bool interlaced, bool top_first) {
  f.flags &= ~(AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST);
  if (interlaced) f.flags |= AV_FRAME_FLAG_INTERLACED;
  if (top_first) f.flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
}
#else
bool FrameInterlaced(const AVFrame& f) { return f.interlaced_frame != 0; }
bool FrameTopFirst(const AVFrame& f) { return f.top_field_first != 0; }
void SetFrameFlags(AVFrame& f, bool interlaced, bool top_first) {
  f.interlaced_frame = interlaced;
  f.top_field_first = top_first;
}
#endif

}  // namespace

const char* FieldOrderName(FieldOrder order) {
  switch (order) {
    case FieldOrder::kTopFirst:
      return "top first";
    case FieldOrder::kBottomFirst:
      return "bottom first";
    default:
      return "progressive";
  }
}

FieldOrder FrameFieldOrder(const AVFrame& frame) {
  if (!FrameInterlaced(frame)) return FieldOrder::kProgressive;
  return FrameTopFirst(frame) ? FieldOrder::kTopFirst : FieldOrder::kBottomFirst;
}

FieldOrder DetectFieldOrder(const AVFrame& first, const AVCodecParameters& stream) {
  if (first.height < 4 || first.height % 2 != 0) return FieldOrder::kProgressive;
  const FieldOrder own = FrameFieldOrder(first);
  return IsInterlaced(own) ? own : FromAvFieldOrder(stream.field_order);
}

uint32_t ScanFieldMode(FieldOrder order) {
  switch (order) {
    case FieldOrder::kTopFirst:
      return VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_FIRST;
    case FieldOrder::kBottomFirst:
      return VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_SECOND;
    default:
      return 0;
  }
}

FieldOrder FieldOrderOfComp(const std::vector<uint32_t>& comp) {
  MotionCompHeader head{};
  if (comp.size() * 4 < sizeof head) return FieldOrder::kProgressive;
  std::memcpy(&head, comp.data(), sizeof head);
  if (!(head.interlaced & 1u)) return FieldOrder::kProgressive;
  return (head.fieldMode & VENDRIX_FIELD_SECOND) ? FieldOrder::kBottomFirst : FieldOrder::kTopFirst;
}

uint32_t TexFieldFlags(FieldOrder order, int field) {
  if (!IsInterlaced(order)) return 0;
  // The bottom rows are field 1 of a top-first frame and field 0 of a bottom-first one.
  const bool bottom_rows = (order == FieldOrder::kTopFirst) == (field == 1);
  return VENDRIX_TEXFIELD_FIELDS | (bottom_rows ? VENDRIX_TEXFIELD_SECOND : 0u);
}

AVFieldOrder AvFieldOrder(FieldOrder order) {
  switch (order) {
    case FieldOrder::kTopFirst:
      return AV_FIELD_TT;
    case FieldOrder::kBottomFirst:
      return AV_FIELD_BB;
    default:
      return AV_FIELD_PROGRESSIVE;
  }
}

FieldOrder FromAvFieldOrder(AVFieldOrder order) {
  // TT and BT show the top field first; BB and TB the bottom one (the second letter is the display order).
  switch (order) {
    case AV_FIELD_TT:
    case AV_FIELD_BT:
      return FieldOrder::kTopFirst;
    case AV_FIELD_BB:
    case AV_FIELD_TB:
      return FieldOrder::kBottomFirst;
    default:
      return FieldOrder::kProgressive;
  }
}

void ScaleFields(SwsContext* sws, const uint8_t* const from[4], const int from_strides[4], uint8_t* const to[4],
                 const int to_strides[4], int height) {
  for (int field = 0; field < 2; ++field) {
    const uint8_t* f[4];
    uint8_t* t[4];
    int fs[4], ts[4];
    for (int p = 0; p < 4; ++p) {
      f[p] = from[p] ? from[p] + field * from_strides[p] : nullptr;
      t[p] = to[p] ? to[p] + field * to_strides[p] : nullptr;
      fs[p] = 2 * from_strides[p];
      ts[p] = 2 * to_strides[p];
    }
    sws_scale(sws, f, fs, 0, height / 2, t, ts);
  }
}

void MarkFrame(AVFrame& frame, FieldOrder order) {
  SetFrameFlags(frame, IsInterlaced(order), order == FieldOrder::kTopFirst);
}

}  // namespace vendrix::cli
