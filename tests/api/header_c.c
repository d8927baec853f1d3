/* Compile check of the public header as C11: it must stand alone (first and only include) and build
 * without warnings under -Wall -Wextra -Werror -pedantic; field types the layout asserts cannot see are
 * checked with _Generic. (tests/api/header_cxx.cpp checks every export's exact signature.) */
#include <vendrix/vendrix.h>


/* Field types the layout asserts cannot see: floats that share their size with integers, and fields that
 * must stay signed (negative pitches, bounds and displacements) or keep their width. */
#define VX_FIELD(type_name, field, type) \
  _Static_assert(_Generic(((type_name*)0)->field, type: 1, default: 0), "type of " #type_name "." #field)

VX_FIELD(ScanInput, aspectFactor, float);
VX_FIELD(RTFrameInput, aspectFactor, float);
VX_FIELD(TexMapDefD, srcAspect, float);
VX_FIELD(TexMapDefD, outAspect, float);
VX_FIELD(FrameMvRecord, pathX, float);
VX_FIELD(FrameMvRecord, pathY, float);
VX_FIELD(FrameMvRecord, motion[0], float);
VX_FIELD(ImageDesc, pitch, int32_t);
VX_FIELD(ScanInput, pitch, int32_t);
VX_FIELD(RTFrameInput, pitch, int32_t);
VX_FIELD(MixRecord, aPitch, int32_t);
VX_FIELD(TexMapDefA, srcPitch, int32_t);
VX_FIELD(TexMapDefA, outPitch, int32_t);
VX_FIELD(TexMapDefD, srcPitch, int32_t);
VX_FIELD(TexMapDefD, outPitch, int32_t);
VX_FIELD(MotionCompHeader, count, int32_t);
VX_FIELD(MotionCompHeader, boundsMinX, int32_t);
VX_FIELD(MotionCompHeader, boundsMaxY, int32_t);
VX_FIELD(MotionCompArrayBRecord, corner[0].x, int32_t);
VX_FIELD(MotionCompArrayDRecord, band[0].y, int16_t);
VX_FIELD(TexMapDefD, bandShift[0].x, int32_t);
VX_FIELD(FinishRequest, action, int32_t);
VX_FIELD(PathSettings, AnalysisOffset, int32_t);
VX_FIELD(MixRecord, weight, int32_t);

/* The version packing decodes to 2.0.1.79; the size macros give 64-bit sizes that do not overflow for
 * long clips and agree with the header and record layouts. */
_Static_assert(VENDRIX_VERSION_MAJOR(VENDRIX_VERSION) == 2u && VENDRIX_VERSION_MINOR(VENDRIX_VERSION) == 0u &&
                   VENDRIX_VERSION_BUILD(VENDRIX_VERSION) == 1u && VENDRIX_VERSION_REVISION(VENDRIX_VERSION) == 79u,
               "version packing");
_Static_assert(_Generic(VENDRIX_COMP_B_SIZE(1u), int64_t: 1, default: 0), "array B size type");
_Static_assert(VENDRIX_COMP_B_SIZE(200000000u) == 668 + (int64_t)36 * 200000000, "array B size, long clip");
_Static_assert(VENDRIX_COMP_D_SIZE(7) == sizeof(MotionCompArrayDHeader) + 8 * sizeof(MotionCompArrayDRecord),
               "array D walk");
_Static_assert(offsetof(MotionCompArrayBHeader, settings) == offsetof(MotionCompArrayDHeader, settings),
               "settings offset shared by arrays B and D");
