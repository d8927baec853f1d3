// Image conversion: one image into another pixel format, resampled to the destination size by nearest
// neighbour, optionally as a tinted monochrome preview. Used by the ConvImage export, by the preview and
// by the scanner (v210 frames become an NV12 luma plane before analysis).
//
// The conversion runs row by row: the driver (image_convert.cpp) selects fields, validates both images,
// picks the row kernel of the format pair and walks the destination rows. The row kernels and their
// table are in convert_rows.h; they live in convert_rgb.cpp (colour to colour, and every grey or tinted
// output), convert_yuv.cpp (to and from Y/Cb/Cr, 4:2:2, NV12 and v210) and convert_rows.cpp (copies).
#pragma once

#include "vendrix/vendrix.h"

namespace vendrix::imaging {

// Converts record.source into record.destination as ConvImage does. Returns false, having written
// nothing, when the record is refused: tag not 1, a size outside 1..32767 after field selection, a null
// buffer, a pitch too small for its row, an unsupported format pair, or unequal widths where the pair
// needs equal widths.
bool ConvertImage(const ConvRecord& record);

}  // namespace vendrix::imaging
