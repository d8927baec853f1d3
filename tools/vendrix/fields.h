// Interlaced video in the command: which field of a frame comes first in time, how the order is read
// from the decoder, and how it is told to the library (scan field mode, texture-map field flags, the
// compensation array's header) and to FFmpeg (stream field order, frame flags).
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg_util.h"
#include "vendrix/vendrix.h"

namespace vendrix::cli {

// Top: the field of rows 0, 2, 4 ... is exposed first; bottom: the field of rows 1, 3, 5 ... is.
enum class FieldOrder { kProgressive, kTopFirst, kBottomFirst };

inline bool IsInterlaced(FieldOrder order) { return order != FieldOrder::kProgressive; }

// "progressive", "top first", "bottom first".
const char* FieldOrderName(FieldOrder order);

// What a decoded frame's own interlace flags say.
FieldOrder FrameFieldOrder(const AVFrame& frame);

// The clip's field order from its first decoded frame and its stream: the frame's own interlace flags
// where the decoder sets them, else the stream's field order. Pictures with an odd number of rows or
// fewer than 4 count as progressive: both fields must have the same height, at least 2 rows.
FieldOrder DetectFieldOrder(const AVFrame& first, const AVCodecParameters& stream);

// The ScanInput field mode for a whole interlaced frame. An interlaced path stores the field the mode
// names as entry 2f and the other one as 2f + 1, so the mode names the field that comes first in time;
// entries then follow the exposure order. 0 for progressive frames.
uint32_t ScanFieldMode(FieldOrder order);

// The order a compensation array B was made with: its interlaced word and the scan field mode it keeps.
FieldOrder FieldOrderOfComp(const std::vector<uint32_t>& comp);

// Texture-map field flags that render field `field` (0: the first in time) of a whole frame into the
// same field of the output; 0 for progressive frames.
uint32_t TexFieldFlags(FieldOrder order, int field);

// The order as FFmpeg's stream parameter says it (display order, coded the same way), and back.
AVFieldOrder AvFieldOrder(FieldOrder order);
FieldOrder FromAvFieldOrder(AVFieldOrder order);

// Converts an interlaced picture of `height` rows (even) with `sws`, made for one field's size, one
// field at a time: a field is every second row of each plane, so in 4:2:0 no chroma crosses between
// fields.
void ScaleFields(SwsContext* sws, const uint8_t* const from[4], const int from_strides[4], uint8_t* const to[4],
                 const int to_strides[4], int height);

// Sets the frame's interlace flags (interlaced, top field first) to say `order`.
void MarkFrame(AVFrame& frame, FieldOrder order);

}  // namespace vendrix::cli
