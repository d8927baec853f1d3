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

/* Builds the records a host typically fills and returns a value that depends on all of them. */
int32_t vendrix_header_c_check(void* pixels, uint32_t* compB);

int32_t vendrix_header_c_check(void* pixels, uint32_t* compB) {
  ScanInput scan = {0};
  FinishRequest finish = {0};
  RTPathConfig config = {VENDRIX_RT_CONFIG_TAG, 0, 0, 0, 0};
  TexMapDefA def = {0};
  const MotionCompArrayBHeader* head = (const MotionCompArrayBHeader*)(const void*)compB;
  const MotionCompArrayBRecord* records =
      (const MotionCompArrayBRecord*)(const void*)((const unsigned char*)compB + VENDRIX_COMP_B_OFFSET_RECORDS);

  scan.tag = VENDRIX_SCAN_INPUT_TAG;
  scan.format = VENDRIX_PIXFMT_BGRA8;
  scan.width = 1920;
  scan.height = 1080;
  scan.pitch = 1920 * 4;
  scan.buffer = pixels;
  scan.aspectFactor = 1.0f;
  scan.settings.AnalysisLevel = 9;
  scan.settings.Smoothing = VENDRIX_FX_ONE * 4 / 10;

  finish.tag = VENDRIX_FINISH_REQUEST_TAG;
  finish.action = VENDRIX_FINISH_SMOOTH;
  finish.flags = VENDRIX_FINISH_KEEP_NO_WAIT;

  def.version = VENDRIX_TEXMAP_A_VERSION;
  def.pixelFormat = scan.format;
  def.srcRect.w = scan.width * VENDRIX_FX_ONE;
  def.srcRect.h = scan.height * VENDRIX_FX_ONE;
  def.srcBuffer = pixels;
  def.outRect = def.srcRect;
  def.outBuffer = pixels;
  def.mapFlags = VENDRIX_MAP_IN_PLACE;

  return (int32_t)(config.tag + finish.tag + def.version) + scan.settings.Smoothing + head->head.count +
         records[0].corner[VENDRIX_CORNER_COUNT - 1].y + (int32_t)records[0].borderFlag;
}
