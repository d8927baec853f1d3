/*
 * vendrix.h - public C interface of libvendrix, a video-stabilisation library.
 *
 * A host hands the library the frames of a clip as raw pixel buffers. The library measures the camera
 * motion between consecutive frames (or fields), integrates it into a camera path, smooths that path
 * under a PathSettings record and gives back, per frame, the correction that makes the frame follow the
 * smoothed path: as compensation arrays the host may store, as texture-map definitions, and as warped
 * output frames rendered by the library itself.
 *
 * Two ways of working:
 *   - offline, on a GlobalMotionPath: NewGlobalMotionPath, ScanMapB for every frame, FinishPath /
 *     FinishPathB, then Copy*MotionCompArray*Path or DefTexMapA/DefTexMapD + TexMap/TexMapD,
 *     DeleteGlobalMotionPath;
 *   - streaming, on an RTMotionPath: NewRTMotionPath, RTMotionPathConfigurate, RTMotionPathSetSettings,
 *     RTMotionPathScanMap per frame, RTMotionPathTexMapDef per displayed frame, and the range queries.
 *
 * Only plain records, opaque path pointers and pixel buffers cross this interface. Every record is laid
 * out for the x86-64 System V ABI (little-endian, 8-byte pointers, no implicit padding); the layouts are
 * pinned below by static assertions and must never change.
 *
 * Units and conventions used throughout:
 *   - 16.16 fixed point: a signed 32-bit raw value meaning raw / 65536; floats are converted to it by
 *     truncation toward zero. Positions, strengths and amounts exchanged with the host use it.
 *   - 8.8 fixed point: a signed 16-bit raw value meaning raw / 256; used only for the band
 *     displacements of compensation array D.
 *   - Corner order everywhere: 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left; each an (x, y) pair.
 *   - Entries: an interlaced path holds two entries per frame, entry = 2 * frame + field, in every
 *     per-frame array, query and record. A progressive path has entry = frame.
 *   - Records passed in carry a leading tag or version word that is checked first; a wrong tag makes
 *     the call do nothing and return its failure value. Nothing is ever thrown across this interface.
 *
 * Threads: every function runs on the calling host thread (the library adds worker threads of its own).
 * Only one host thread at a time may use a given path object; the path objects have no lock. The
 * real-time functions are additionally serialised process-wide (one call of any real-time path at a
 * time). The profile functions may be called from any thread at any time.
 */
#ifndef VENDRIX_VENDRIX_H
#define VENDRIX_VENDRIX_H

#include <stddef.h>
#include <stdint.h>

/* ---------------------------------------------------------------------------------------------------
 * Build helpers
 * ------------------------------------------------------------------------------------------------- */

/* Exported symbols; the library itself is built with hidden visibility by default. */
#ifndef VENDRIX_API
#if defined(__GNUC__) || defined(__clang__)
#define VENDRIX_API __attribute__((visibility("default")))
#else
#define VENDRIX_API
#endif
#endif

/* Exports never throw: in C++ they are declared noexcept, so an implementation must catch everything. */
#if defined(__cplusplus)
#define VENDRIX_NOEXCEPT noexcept
#define VENDRIX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VENDRIX_NOEXCEPT
#define VENDRIX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define VENDRIX_ASSERT_SIZE(type, size) VENDRIX_STATIC_ASSERT(sizeof(type) == (size), "size of " #type)
#define VENDRIX_ASSERT_OFFSET(type, field, offset) \
  VENDRIX_STATIC_ASSERT(offsetof(type, field) == (offset), "offset of " #type "." #field)

/* The record layouts below are those of a little-endian machine with 8-byte pointers. */
VENDRIX_STATIC_ASSERT(sizeof(void*) == 8, "vendrix records need 8-byte pointers");
VENDRIX_STATIC_ASSERT(sizeof(float) == 4, "vendrix records need 4-byte floats");
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
VENDRIX_STATIC_ASSERT(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "vendrix records are little-endian");
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------------
 * Version
 * ------------------------------------------------------------------------------------------------- */

/* Value returned by VendrixVersion: 2.0.1.79 packed as major (bits 31..24), minor (bits 23..20),
 * build (bits 19..16) and revision (bits 15..0). */
#define VENDRIX_VERSION 0x0201004Fu
#define VENDRIX_VERSION_MAJOR(v) (((v) >> 24) & 0xFFu)
#define VENDRIX_VERSION_MINOR(v) (((v) >> 20) & 0xFu)
#define VENDRIX_VERSION_BUILD(v) (((v) >> 16) & 0xFu)
#define VENDRIX_VERSION_REVISION(v) ((v) & 0xFFFFu)

/* ---------------------------------------------------------------------------------------------------
 * Opaque path objects (created and deleted only by the library)
 * ------------------------------------------------------------------------------------------------- */

/* Offline, two-pass path of one clip: measured motion, camera path and correction of every entry. */
typedef struct GlobalMotionPath GlobalMotionPath;

/* Streaming path: a sliding analysis window over a GlobalMotionPath plus its latest compensation. */
typedef struct RTMotionPath RTMotionPath;

/* ---------------------------------------------------------------------------------------------------
 * Fixed-point helper types
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_FX_ONE 65536  /* 1.0 in 16.16 */
#define VENDRIX_FX88_ONE 256  /* 1.0 in 8.8 */
#define VENDRIX_CORNER_COUNT 4

/* A point or displacement in 16.16 pixels. */
typedef struct VendrixFxPoint {
  int32_t x; /* horizontal, 16.16 pixels */
  int32_t y; /* vertical, 16.16 pixels */
} VendrixFxPoint;
VENDRIX_ASSERT_SIZE(VendrixFxPoint, 8);
VENDRIX_ASSERT_OFFSET(VendrixFxPoint, x, 0);
VENDRIX_ASSERT_OFFSET(VendrixFxPoint, y, 4);

/* A rectangle given by origin and size, 16.16 pixels. */
typedef struct VendrixFxRect {
  int32_t x; /* left edge, 16.16 pixels */
  int32_t y; /* top edge, 16.16 pixels */
  int32_t w; /* width, 16.16 pixels; its integer part is the buffer width where a buffer is described */
  int32_t h; /* height, 16.16 pixels; its integer part is the buffer height where a buffer is described */
} VendrixFxRect;
VENDRIX_ASSERT_SIZE(VendrixFxRect, 16);
VENDRIX_ASSERT_OFFSET(VendrixFxRect, x, 0);
VENDRIX_ASSERT_OFFSET(VendrixFxRect, y, 4);
VENDRIX_ASSERT_OFFSET(VendrixFxRect, w, 8);
VENDRIX_ASSERT_OFFSET(VendrixFxRect, h, 12);

/* A rectangle given by two opposite corners, 16.16 pixels. */
typedef struct VendrixFxBox {
  int32_t x0; /* left, 16.16 pixels (inclusive) */
  int32_t y0; /* top, 16.16 pixels (inclusive) */
  int32_t x1; /* right, 16.16 pixels */
  int32_t y1; /* bottom, 16.16 pixels */
} VendrixFxBox;
VENDRIX_ASSERT_SIZE(VendrixFxBox, 16);
VENDRIX_ASSERT_OFFSET(VendrixFxBox, x0, 0);
VENDRIX_ASSERT_OFFSET(VendrixFxBox, y0, 4);
VENDRIX_ASSERT_OFFSET(VendrixFxBox, x1, 8);
VENDRIX_ASSERT_OFFSET(VendrixFxBox, y1, 12);

/* A displacement in 8.8 pixels (band displacements of compensation array D). */
typedef struct VendrixFx88Point {
  int16_t x; /* horizontal, 8.8 pixels */
  int16_t y; /* vertical, 8.8 pixels */
} VendrixFx88Point;
VENDRIX_ASSERT_SIZE(VendrixFx88Point, 4);
VENDRIX_ASSERT_OFFSET(VendrixFx88Point, x, 0);
VENDRIX_ASSERT_OFFSET(VendrixFx88Point, y, 2);

/* ---------------------------------------------------------------------------------------------------
 * Pixel formats and field modes
 * ------------------------------------------------------------------------------------------------- */

/* Pixel-format codes of ImageDesc.format, ScanInput.format, RTFrameInput.format and
 * TexMapDef*.pixelFormat. Byte and channel orders are memory order. Codes 3..7 are not used. */
#define VENDRIX_PIXFMT_BGRA8 1u     /* 4 bytes: B, G, R, alpha */
#define VENDRIX_PIXFMT_BGR8 2u      /* 3 bytes: B, G, R */
#define VENDRIX_PIXFMT_ARGB8 8u     /* 4 bytes: alpha, R, G, B */
#define VENDRIX_PIXFMT_UYVY8 9u     /* packed 4:2:2, 2 bytes per pixel: Cb, Y0, Cr, Y1 */
#define VENDRIX_PIXFMT_YUYV8 10u    /* packed 4:2:2, 2 bytes per pixel: Y0, Cb, Y1, Cr */
#define VENDRIX_PIXFMT_VUYA8 11u    /* 4 bytes: Cr, Cb, Y, alpha */
#define VENDRIX_PIXFMT_NV12 12u     /* 4:2:0: 8-bit Y plane, then one interleaved Cb/Cr plane (same pitch) */
#define VENDRIX_PIXFMT_V210 13u     /* 10-bit packed 4:2:2: 6 pixels in four 32-bit words */
#define VENDRIX_PIXFMT_UYVY16 14u   /* 4:2:2, u16 Cb, Y0, Cr, Y1 holding 10-bit values shifted left by 6 */
#define VENDRIX_PIXFMT_AYUV8 15u    /* 4 bytes: alpha, Y, Cb, Cr */
#define VENDRIX_PIXFMT_BGRA16 16u   /* 4 x u16: colour in channels 0..2, alpha in channel 3 */
#define VENDRIX_PIXFMT_BGRA32F 17u  /* 4 x f32: colour in channels 0..2, alpha in channel 3 */
#define VENDRIX_PIXFMT_ARGB16 18u   /* 4 x u16: alpha, R, G, B */
#define VENDRIX_PIXFMT_ARGB32F 19u  /* 4 x f32 on 0..1: alpha, R, G, B */
#define VENDRIX_PIXFMT_AYUV16 20u   /* 4 x u16: alpha, Y, Cb, Cr */
#define VENDRIX_PIXFMT_AYUV32F 21u  /* 4 x f32: alpha, Y, Cb, Cr */
#define VENDRIX_PIXFMT_VUYA16 22u   /* 4 x u16: Cr, Cb, Y, alpha */
#define VENDRIX_PIXFMT_VUYA32F 23u  /* 4 x f32: Cr, Cb, Y, alpha */
#define VENDRIX_PIXFMT_YUV420P 24u  /* 4:2:0: 8-bit Y plane, then two chroma planes of half width and height */

/* Bits of ImageDesc.fieldMode, ScanInput.fieldMode and RTFrameInput.fieldMode. */
#define VENDRIX_FIELD_FIRST 0x1u    /* the image is (or belongs to) the first field */
#define VENDRIX_FIELD_SECOND 0x2u   /* the image is (or belongs to) the second field */
#define VENDRIX_FIELD_IN_FRAME 0x4u /* the buffer holds a whole interlaced frame; only the field is meant */

/* ---------------------------------------------------------------------------------------------------
 * PathSettings: the stabilisation settings record (profiles, real-time settings, scan input,
 * finishing, copy in the compensation-array header). Compared and copied as 60 raw bytes.
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_PATH_SETTINGS_SIZE 60 /* the size argument the settings functions require */
#define VENDRIX_PROFILE_COUNT 42
#define VENDRIX_PROFILE_DEFAULT 41u /* profile equal to the default settings record */

typedef struct PathSettings {
  int32_t FramingAmount;      /* 16.16 amount of the framing mode (zoom limit in mode 5, border fraction in mode 6) */
  int32_t ModelDegree;        /* 0..2: terms beyond translation: 1 adds rotation, 2 also scale */
  uint32_t AnalysisFlags;     /* VENDRIX_ANALYSIS_* bits */
  int32_t AnalysisLevel;      /* 0..9 analysis preset: 0..8 block matching, 9 feature tracking; >9 acts as 2 */
  int32_t AnalysisOffset;     /* 16.16 detail bias of the analyser */
  int32_t Smoothing;          /* 16.16 translation smoothing strength (0..1; above 0.99 holds the camera) */
  int32_t SecondarySmoothing; /* 16.16 corner / rotation smoothing strength base */
  int32_t FramingMode;        /* VENDRIX_FRAMING_* */
  uint32_t OutputFlags;       /* VENDRIX_OUTPUT_* bits */
  int32_t AnalysisOrder;      /* coarsest pyramid level: 1 -> 2, 2 -> 1, 3 -> 0, other -> 3 */
  int32_t Reserved;           /* not interpreted, 0; still part of every comparison */
  int32_t SmoothingWeight1;   /* 16.16 zoom smoothing strength (matrix model; 0 = from SecondarySmoothing) */
  int32_t SmoothingWeight2;   /* 16.16 rotation smoothing strength (matrix model; 0 = from SecondarySmoothing) */
  int32_t SmoothingWeight3;   /* 16.16 first tilt smoothing strength (matrix model; 0 = from SecondarySmoothing) */
  int32_t SmoothingWeight4;   /* 16.16 second tilt smoothing strength (matrix model; 0 = from SecondarySmoothing) */
} PathSettings;
VENDRIX_ASSERT_SIZE(PathSettings, 60);
VENDRIX_ASSERT_OFFSET(PathSettings, FramingAmount, 0);
VENDRIX_ASSERT_OFFSET(PathSettings, ModelDegree, 4);
VENDRIX_ASSERT_OFFSET(PathSettings, AnalysisFlags, 8);
VENDRIX_ASSERT_OFFSET(PathSettings, AnalysisLevel, 12);
VENDRIX_ASSERT_OFFSET(PathSettings, AnalysisOffset, 16);
VENDRIX_ASSERT_OFFSET(PathSettings, Smoothing, 20);
VENDRIX_ASSERT_OFFSET(PathSettings, SecondarySmoothing, 24);
VENDRIX_ASSERT_OFFSET(PathSettings, FramingMode, 28);
VENDRIX_ASSERT_OFFSET(PathSettings, OutputFlags, 32);
VENDRIX_ASSERT_OFFSET(PathSettings, AnalysisOrder, 36);
VENDRIX_ASSERT_OFFSET(PathSettings, Reserved, 40);
VENDRIX_ASSERT_OFFSET(PathSettings, SmoothingWeight1, 44);
VENDRIX_ASSERT_OFFSET(PathSettings, SmoothingWeight2, 48);
VENDRIX_ASSERT_OFFSET(PathSettings, SmoothingWeight3, 52);
VENDRIX_ASSERT_OFFSET(PathSettings, SmoothingWeight4, 56);

/* The analyser reads only the leading bytes up to and including AnalysisOrder. */
#define VENDRIX_PATH_SETTINGS_ANALYSIS_BYTES 40u

/* PathSettings.AnalysisFlags bits. */
#define VENDRIX_ANALYSIS_UNUSED_01 0x01u      /* not interpreted; only takes part in comparisons */
#define VENDRIX_ANALYSIS_HIGH_PASS 0x02u      /* block matcher: high-pass prefilter instead of contrast stretch */
#define VENDRIX_ANALYSIS_WIDE_SEARCH 0x04u    /* block matcher: wider search; feature tracker: no quality filter */
#define VENDRIX_ANALYSIS_EXTRA_MEASURE 0x08u  /* block matcher: multi-distance; feature tracker: fine refinement */
#define VENDRIX_ANALYSIS_ROLLING_SHUTTER 0x10u /* longer model fit; finishing takes out the rows' wobble */
#define VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT 0x20u /* with 0x10: also straighten each frame's skew */
#define VENDRIX_ANALYSIS_REFIT_VARIANT 0x40u  /* feature tracker only: re-fit variant of the model fit */

/* PathSettings.OutputFlags bits. */
#define VENDRIX_OUTPUT_SPLIT_LEFT 0x0001u  /* split view: unwarped source in the left half */
#define VENDRIX_OUTPUT_SPLIT_TOP 0x0002u   /* split view: unwarped source in the top half (without 0x0001) */
#define VENDRIX_OUTPUT_GRID 0x0010u        /* draw a 6 x 6 guide grid */
#define VENDRIX_OUTPUT_BORDER_MARK 0x0020u /* framing mode 6: draw a border coloured by the frame's border flag */
#define VENDRIX_OUTPUT_EDGE_EXTEND 0x0100u /* extend edge pixels instead of filling; no range test in mode 2 */
#define VENDRIX_OUTPUT_ADAPTIVE 0x1000u    /* matrix finisher: adaptive smoothing window */
#define VENDRIX_OUTPUT_TILT1 0x2000u       /* matrix finisher: keep the first tilt angle in the correction */
#define VENDRIX_OUTPUT_TILT2 0x4000u       /* matrix finisher: keep the second tilt angle in the correction */

/* PathSettings.FramingMode values: how the warped frame is placed in the output. */
#define VENDRIX_FRAMING_FIT 0          /* zoom so that the warped frame covers the output */
#define VENDRIX_FRAMING_CROP_BOUNDS 1  /* crop the visible region by the clip's movement bounds */
#define VENDRIX_FRAMING_FOLLOW 2       /* ordinary mode: fill the margins, move toward the fit by the amount */
#define VENDRIX_FRAMING_FILL 3         /* fill everything the warped frame leaves uncovered */
#define VENDRIX_FRAMING_FIT_4 4        /* as mode 0 */
#define VENDRIX_FRAMING_ZOOM_COVER 5   /* zoom up to the amount's limit, then shift to cover the output */
#define VENDRIX_FRAMING_BORDER_LIMIT 6 /* keep the correction within a border fraction given by the amount */

/* ---------------------------------------------------------------------------------------------------
 * ImageDesc and ScanInput: image handed to the analysis or the image utilities
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_SCAN_INPUT_TAG 1u
#define VENDRIX_IMAGE_TAG 1u /* tag of ConvRecord and MixRecord */

typedef struct ImageDesc {
  uint32_t format;    /* VENDRIX_PIXFMT_* code */
  uint32_t fieldMode; /* VENDRIX_FIELD_* bits */
  uint32_t hostWord0; /* host-defined, carried unchanged, never read by the library */
  uint32_t hostWord1; /* host-defined, carried unchanged, never read by the library */
  int32_t width;      /* pixels */
  int32_t height;     /* rows */
  int32_t pitch;      /* bytes from one row to the next; negative for bottom-up images */
  uint32_t reserved;  /* 0; keeps the buffer pointer 8-byte aligned */
  void* buffer;       /* first byte of row 0 */
} ImageDesc;
VENDRIX_ASSERT_SIZE(ImageDesc, 40);
VENDRIX_ASSERT_OFFSET(ImageDesc, format, 0);
VENDRIX_ASSERT_OFFSET(ImageDesc, fieldMode, 4);
VENDRIX_ASSERT_OFFSET(ImageDesc, hostWord0, 8);
VENDRIX_ASSERT_OFFSET(ImageDesc, hostWord1, 12);
VENDRIX_ASSERT_OFFSET(ImageDesc, width, 16);
VENDRIX_ASSERT_OFFSET(ImageDesc, height, 20);
VENDRIX_ASSERT_OFFSET(ImageDesc, pitch, 24);
VENDRIX_ASSERT_OFFSET(ImageDesc, reserved, 28);
VENDRIX_ASSERT_OFFSET(ImageDesc, buffer, 32);

/* Argument of ScanMapB: one frame of the clip and the clip's settings. The image fields follow the tag
 * directly (no reserved word before the pointer). */
typedef struct ScanInput {
  uint32_t tag;          /* VENDRIX_SCAN_INPUT_TAG (1) */
  uint32_t format;       /* VENDRIX_PIXFMT_* code */
  uint32_t fieldMode;    /* VENDRIX_FIELD_* bits; kept by the path */
  uint32_t hostWord0;    /* host-defined, never read */
  uint32_t hostWord1;    /* host-defined, never read */
  int32_t width;         /* pixels (source width) */
  int32_t height;        /* rows (source height) */
  int32_t pitch;         /* bytes from one row to the next; may be negative */
  const void* buffer;    /* first byte of row 0 */
  float aspectFactor;    /* horizontal pixel aspect applied to x in the model fit; outside 0.1..10 means 1.0 */
  PathSettings settings; /* the clip's settings; the analysis reads the first ten fields */
} ScanInput;
VENDRIX_ASSERT_SIZE(ScanInput, 104);
VENDRIX_ASSERT_OFFSET(ScanInput, tag, 0);
VENDRIX_ASSERT_OFFSET(ScanInput, format, 4);
VENDRIX_ASSERT_OFFSET(ScanInput, fieldMode, 8);
VENDRIX_ASSERT_OFFSET(ScanInput, hostWord0, 12);
VENDRIX_ASSERT_OFFSET(ScanInput, hostWord1, 16);
VENDRIX_ASSERT_OFFSET(ScanInput, width, 20);
VENDRIX_ASSERT_OFFSET(ScanInput, height, 24);
VENDRIX_ASSERT_OFFSET(ScanInput, pitch, 28);
VENDRIX_ASSERT_OFFSET(ScanInput, buffer, 32);
VENDRIX_ASSERT_OFFSET(ScanInput, aspectFactor, 40);
VENDRIX_ASSERT_OFFSET(ScanInput, settings, 44);

/* Flags argument of NewGlobalMotionPath. */
#define VENDRIX_PATH_INTERLACED 0x1    /* two entries (fields) per frame; capacity doubled */
#define VENDRIX_PATH_KEEP_MATCHES 0x2  /* keep a copy of every entry's match list */

/* ---------------------------------------------------------------------------------------------------
 * FrameMvRecord: filled by GetFrameMV with the motion of the last analysed entry
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_FRAME_MV_TAG 3u
#define VENDRIX_FRAME_MV_VALUES 10

typedef struct FrameMvRecord {
  uint32_t tag;                         /* VENDRIX_FRAME_MV_TAG (3), set by the host */
  uint32_t workWidth;                   /* analysed width after field split / halving, pixels */
  uint32_t workHeight;                  /* analysed height after field split / halving, rows */
  uint32_t sourceWidth;                 /* width of the scanned frames, pixels */
  uint32_t sourceHeight;                /* height of the scanned frames, rows */
  uint32_t searchRadius;                /* search radius, working pixels (times the span of a long-span field) */
  float pathX;                          /* integrated camera path at the entry: x translation, working pixels */
  float pathY;                          /* integrated camera path at the entry: y translation, working pixels */
  float motion[VENDRIX_FRAME_MV_VALUES]; /* leading model values, mean of the entry and the one before (0, 1: dx, dy) */
} FrameMvRecord;
VENDRIX_ASSERT_SIZE(FrameMvRecord, 72);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, tag, 0);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, workWidth, 4);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, workHeight, 8);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, sourceWidth, 12);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, sourceHeight, 16);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, searchRadius, 20);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, pathX, 24);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, pathY, 28);
VENDRIX_ASSERT_OFFSET(FrameMvRecord, motion, 32);

/* ---------------------------------------------------------------------------------------------------
 * FinishRequest: optional argument of FinishPath
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_FINISH_REQUEST_TAG 4u

/* FinishRequest.action values. */
#define VENDRIX_FINISH_SMOOTH (-1)    /* any negative value: bring the analysis to rest and smooth the path */
#define VENDRIX_FINISH_SETTLE_ONLY 0  /* zero or positive: bring the analysis to rest, recompute bounds only */

/* FinishRequest.flags bits. With neither set the analysis state is released after finishing, and the
 * results of block-matching jobs still in flight (up to eight entries) are dropped rather than handed to
 * the path: settle first with VENDRIX_FINISH_KEEP_ANALYSIS (action VENDRIX_FINISH_SETTLE_ONLY) to keep
 * them. */
#define VENDRIX_FINISH_KEEP_ANALYSIS 0x04u /* keep the analysis state; wait for all pending analysis first */
#define VENDRIX_FINISH_KEEP_NO_WAIT 0x08u  /* keep the analysis state; take only what is complete so far */

typedef struct FinishRequest {
  uint32_t tag;                /* VENDRIX_FINISH_REQUEST_TAG (4) */
  int32_t action;              /* < 0: smooth the path; >= 0: settle the analysis and recompute bounds only */
  int32_t smoothing;           /* 16.16 translation smoothing strength */
  int32_t secondarySmoothing;  /* 16.16 corner / rotation strength base */
  uint32_t flags;              /* VENDRIX_FINISH_* bits */
  int32_t smoothingWeight1;    /* 16.16 zoom strength (matrix model; 0 = from secondarySmoothing) */
  int32_t smoothingWeight2;    /* 16.16 rotation strength (matrix model; 0 = from secondarySmoothing) */
  int32_t smoothingWeight3;    /* 16.16 first tilt strength (matrix model; 0 = from secondarySmoothing) */
  int32_t smoothingWeight4;    /* 16.16 second tilt strength (matrix model; 0 = from secondarySmoothing) */
  uint32_t adaptive;           /* non-zero: adaptive smoothing window of the matrix finisher */
  int32_t borderFraction;      /* 16.16 fraction of the frame the correction may use (0 = no limit) */
} FinishRequest;
VENDRIX_ASSERT_SIZE(FinishRequest, 44);
VENDRIX_ASSERT_OFFSET(FinishRequest, tag, 0);
VENDRIX_ASSERT_OFFSET(FinishRequest, action, 4);
VENDRIX_ASSERT_OFFSET(FinishRequest, smoothing, 8);
VENDRIX_ASSERT_OFFSET(FinishRequest, secondarySmoothing, 12);
VENDRIX_ASSERT_OFFSET(FinishRequest, flags, 16);
VENDRIX_ASSERT_OFFSET(FinishRequest, smoothingWeight1, 20);
VENDRIX_ASSERT_OFFSET(FinishRequest, smoothingWeight2, 24);
VENDRIX_ASSERT_OFFSET(FinishRequest, smoothingWeight3, 28);
VENDRIX_ASSERT_OFFSET(FinishRequest, smoothingWeight4, 32);
VENDRIX_ASSERT_OFFSET(FinishRequest, adaptive, 36);
VENDRIX_ASSERT_OFFSET(FinishRequest, borderFraction, 40);

/* ---------------------------------------------------------------------------------------------------
 * Motion compensation arrays B and D
 *
 * The host asks for the size, allocates the block, writes the tag into its first word and lets the
 * library fill the header and one record per entry. Array B is the input of DefTexMapA, array D of
 * DefTexMapD. The copy does not write the reserved areas nor the settings copy at byte 300: a host that
 * wants framing other than mode 0 copies its PathSettings there after the copy. A trailing spare record
 * is part of the size and is never written.
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_COMP_B_TAG 1005u
#define VENDRIX_COMP_D_TAG 2001u
#define VENDRIX_COMP_MAGIC 0x12345678u

/* Byte offsets of the header fields, common to both arrays. */
#define VENDRIX_COMP_OFFSET_TAG 0
#define VENDRIX_COMP_OFFSET_MAGIC 4
#define VENDRIX_COMP_OFFSET_COUNT 8
#define VENDRIX_COMP_OFFSET_WIDTH 12
#define VENDRIX_COMP_OFFSET_HEIGHT 16
#define VENDRIX_COMP_OFFSET_FIELD_MODE 20
#define VENDRIX_COMP_OFFSET_BOUNDS_MIN_X 24
#define VENDRIX_COMP_OFFSET_BOUNDS_MIN_Y 28
#define VENDRIX_COMP_OFFSET_BOUNDS_MAX_X 32
#define VENDRIX_COMP_OFFSET_BOUNDS_MAX_Y 36
#define VENDRIX_COMP_OFFSET_INTERLACED 40
#define VENDRIX_COMP_COMMON_HEADER_SIZE 44
#define VENDRIX_COMP_OFFSET_SETTINGS 300

/* Array B: header, n records, one spare record. */
#define VENDRIX_COMP_B_OFFSET_RECORDS 632
#define VENDRIX_COMP_B_RECORD_SIZE 36
#define VENDRIX_COMP_B_RECORD_OFFSET_CORNERS 0
#define VENDRIX_COMP_B_RECORD_OFFSET_BORDER 32
#define VENDRIX_COMP_B_SIZE(n) (INT64_C(668) + INT64_C(36) * (n))

/* Array D: header, n records, one spare record. */
#define VENDRIX_COMP_D_OFFSET_RECORDS 1020
#define VENDRIX_COMP_D_RECORD_SIZE 160
#define VENDRIX_COMP_D_RECORD_OFFSET_CORNERS 0
#define VENDRIX_COMP_D_RECORD_OFFSET_BANDS 32
#define VENDRIX_COMP_D_BAND_COUNT 32
#define VENDRIX_COMP_D_SIZE(n) (INT64_C(1180) + INT64_C(160) * (n))

/* First 44 bytes of both arrays. */
typedef struct MotionCompHeader {
  uint32_t tag;        /* VENDRIX_COMP_B_TAG or VENDRIX_COMP_D_TAG, written by the host before the copy */
  uint32_t magic;      /* VENDRIX_COMP_MAGIC */
  int32_t count;       /* n: number of records (entries: frames, twice that for an interlaced path) */
  int32_t width;       /* analysed image width (after field split / halving), pixels */
  int32_t height;      /* analysed image height (after field split / halving), rows */
  uint32_t fieldMode;  /* field mode of the scanned frames (VENDRIX_FIELD_* bits) */
  int32_t boundsMinX;  /* 16.16 analysis pixels: smallest x shift of a compensated left corner (<= 0) */
  int32_t boundsMinY;  /* 16.16 analysis pixels: smallest y shift of a compensated top corner (<= 0) */
  int32_t boundsMaxX;  /* 16.16 analysis pixels: largest x shift of a compensated right corner (>= 0) */
  int32_t boundsMaxY;  /* 16.16 analysis pixels: largest y shift of a compensated bottom corner (>= 0) */
  uint32_t interlaced; /* bit 0: two records per frame, record = 2 * frame + field */
} MotionCompHeader;
VENDRIX_ASSERT_SIZE(MotionCompHeader, VENDRIX_COMP_COMMON_HEADER_SIZE);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, tag, VENDRIX_COMP_OFFSET_TAG);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, magic, VENDRIX_COMP_OFFSET_MAGIC);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, count, VENDRIX_COMP_OFFSET_COUNT);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, width, VENDRIX_COMP_OFFSET_WIDTH);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, height, VENDRIX_COMP_OFFSET_HEIGHT);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, fieldMode, VENDRIX_COMP_OFFSET_FIELD_MODE);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, boundsMinX, VENDRIX_COMP_OFFSET_BOUNDS_MIN_X);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, boundsMinY, VENDRIX_COMP_OFFSET_BOUNDS_MIN_Y);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, boundsMaxX, VENDRIX_COMP_OFFSET_BOUNDS_MAX_X);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, boundsMaxY, VENDRIX_COMP_OFFSET_BOUNDS_MAX_Y);
VENDRIX_ASSERT_OFFSET(MotionCompHeader, interlaced, VENDRIX_COMP_OFFSET_INTERLACED);

/* Header of array B; records start directly behind it. */
typedef struct MotionCompArrayBHeader {
  MotionCompHeader head;  /* common header */
  uint8_t reserved0[256]; /* not written by the copy */
  PathSettings settings;  /* framing settings read by DefTexMapA; not written by the copy */
  uint8_t reserved1[272]; /* not written by the copy */
} MotionCompArrayBHeader;
VENDRIX_ASSERT_SIZE(MotionCompArrayBHeader, VENDRIX_COMP_B_OFFSET_RECORDS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBHeader, head, 0);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBHeader, reserved0, 44);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBHeader, settings, VENDRIX_COMP_OFFSET_SETTINGS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBHeader, reserved1, 360);

/* One entry of array B. */
typedef struct MotionCompArrayBRecord {
  VendrixFxPoint corner[VENDRIX_CORNER_COUNT]; /* 16.16 analysis pixels: displacement of corner k of the warped frame */
  uint32_t borderFlag; /* bit 0: the correction of this entry reaches the border limits */
} MotionCompArrayBRecord;
VENDRIX_ASSERT_SIZE(MotionCompArrayBRecord, VENDRIX_COMP_B_RECORD_SIZE);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBRecord, corner, VENDRIX_COMP_B_RECORD_OFFSET_CORNERS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayBRecord, borderFlag, VENDRIX_COMP_B_RECORD_OFFSET_BORDER);

/* Header of array D; records start directly behind it. */
typedef struct MotionCompArrayDHeader {
  MotionCompHeader head;  /* common header */
  uint8_t reserved0[256]; /* not written by the copy */
  PathSettings settings;  /* framing settings read by DefTexMapD; placed by the host, not by the copy */
  uint8_t reserved1[660]; /* not written by the copy */
} MotionCompArrayDHeader;
VENDRIX_ASSERT_SIZE(MotionCompArrayDHeader, VENDRIX_COMP_D_OFFSET_RECORDS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDHeader, head, 0);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDHeader, reserved0, 44);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDHeader, settings, VENDRIX_COMP_OFFSET_SETTINGS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDHeader, reserved1, 360);

/* One entry of array D. */
typedef struct MotionCompArrayDRecord {
  VendrixFxPoint corner[VENDRIX_CORNER_COUNT]; /* 16.16 analysis pixels: displacement of corner k of the warped frame */
  VendrixFx88Point band[VENDRIX_COMP_D_BAND_COUNT]; /* 8.8 analysis pixels: displacement of band k, top band first */
} MotionCompArrayDRecord;
VENDRIX_ASSERT_SIZE(MotionCompArrayDRecord, VENDRIX_COMP_D_RECORD_SIZE);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDRecord, corner, VENDRIX_COMP_D_RECORD_OFFSET_CORNERS);
VENDRIX_ASSERT_OFFSET(MotionCompArrayDRecord, band, VENDRIX_COMP_D_RECORD_OFFSET_BANDS);

/* Header + n records + one spare record is the whole block. */
VENDRIX_STATIC_ASSERT(VENDRIX_COMP_B_SIZE(0) == VENDRIX_COMP_B_OFFSET_RECORDS + VENDRIX_COMP_B_RECORD_SIZE,
                      "array B size formula");
VENDRIX_STATIC_ASSERT(VENDRIX_COMP_D_SIZE(0) == VENDRIX_COMP_D_OFFSET_RECORDS + VENDRIX_COMP_D_RECORD_SIZE,
                      "array D size formula");

/* ---------------------------------------------------------------------------------------------------
 * Texture-map definitions: how one frame is warped into the output
 *
 * The host fills images and rectangles; DefTexMapA / DefTexMapD fill visibleRect, cornerShift (and
 * bandShift) and some mapFlags bits from a compensation array. Coordinates are 16.16 pixels. The warped
 * corner k lies at the matching corner of outRect plus cornerShift[k].
 *
 * TexMap / TexMapD step from row to row in whole storage units of the layout: 4 bytes for 4 x 8-bit
 * pixels, 8 for 4 x 16-bit, 16 for 4 x float, 2 for 2-byte pixels, 4 for the 4:2:2 chroma pairs. A pitch
 * that is not a multiple of its unit is truncated to one (the rows then drift against the buffer), so
 * pass pitches that are.
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_TEXMAP_A_VERSION 2u
#define VENDRIX_TEXMAP_D_VERSION 1003u
#define VENDRIX_TEXMAP_BAND_COUNT 32

/* TexMapDef*.fieldFlags bits. */
#define VENDRIX_TEXFIELD_SECOND 0x2u      /* the second field (rows 1, 3, 5, ...) */
#define VENDRIX_TEXFIELD_FIELDS 0x4u      /* both images are addressed as one field of an interlaced frame */
#define VENDRIX_TEXFIELD_FULL_SOURCE 0x8u /* with 0x4: the source is a whole frame, only the output is a field */

/* TexMapDef*.mapFlags bits. */
#define VENDRIX_MAP_FILL 0x1u             /* fill the whole output with the background colour first */
#define VENDRIX_MAP_FILL_MARGINS 0x2u     /* with 0x1: fill only the margins outside visibleRect when narrow */
#define VENDRIX_MAP_GRID 0x10u            /* draw a 6 x 6 guide grid */
#define VENDRIX_MAP_BORDER_SET 0x20u      /* draw a frame border: the frame's border flag is set */
#define VENDRIX_MAP_BORDER_CLEAR 0x40u    /* draw a frame border: the frame's border flag is clear */
#define VENDRIX_MAP_EDGE_EXTEND 0x100u    /* extend edge pixels over the area outside visibleRect */
#define VENDRIX_MAP_BAND_MESH 0x200u      /* TexMapDefD only: use bandShift (32-band mesh) */
#define VENDRIX_MAP_SPLIT_LEFT 0x1000u    /* split view: unwarped source in the left half */
#define VENDRIX_MAP_SPLIT_TOP 0x2000u     /* split view: unwarped source in the top half */
#define VENDRIX_MAP_IN_PLACE 0x10000u     /* output buffer is also the source: render through a temporary */

/* Results of DefTexMapA / DefTexMapD (0 is also their refusal value). */
#define VENDRIX_TEXMAP_QUALITY_OK 0            /* acceptable */
#define VENDRIX_TEXMAP_QUALITY_SMALL_VISIBLE 1 /* visible region below half the output in width or height */
#define VENDRIX_TEXMAP_QUALITY_TOO_LARGE 2     /* warped frame over four times the output in width or height */
#define VENDRIX_TEXMAP_QUALITY_OFF_CENTRE 3    /* warped frame does not reach the output's centre region */

typedef struct TexMapDefA {
  uint32_t version;                                 /* VENDRIX_TEXMAP_A_VERSION (2) */
  uint32_t pixelFormat;                             /* VENDRIX_PIXFMT_* code of both images */
  uint32_t fieldFlags;                              /* VENDRIX_TEXFIELD_* bits */
  uint32_t mapFlags;                                /* VENDRIX_MAP_* bits; the builder keeps bits it does not own */
  VendrixFxRect srcRect;                            /* 16.16 source rectangle; integer part of w = buffer width */
  int32_t srcPitch;                                 /* source row pitch, bytes */
  int32_t srcRows;                                  /* source rows (of the luma plane; planar chroma follows) */
  const void* srcBuffer;                            /* first byte of source row 0 */
  VendrixFxRect outRect;                            /* 16.16 output frame; integer parts of w, h = buffer size */
  int32_t outPitch;                                 /* output row pitch, bytes */
  int32_t outRows;                                  /* output rows (of the luma plane; planar chroma follows) */
  void* outBuffer;                                  /* first byte of output row 0 */
  VendrixFxBox visibleRect;                         /* 16.16 output pixels the warped frame may cover (builder) */
  VendrixFxPoint cornerShift[VENDRIX_CORNER_COUNT]; /* 16.16 output pixels: displacement of output corner k (builder) */
} TexMapDefA;
VENDRIX_ASSERT_SIZE(TexMapDefA, 128);
VENDRIX_ASSERT_OFFSET(TexMapDefA, version, 0);
VENDRIX_ASSERT_OFFSET(TexMapDefA, pixelFormat, 4);
VENDRIX_ASSERT_OFFSET(TexMapDefA, fieldFlags, 8);
VENDRIX_ASSERT_OFFSET(TexMapDefA, mapFlags, 12);
VENDRIX_ASSERT_OFFSET(TexMapDefA, srcRect, 16);
VENDRIX_ASSERT_OFFSET(TexMapDefA, srcPitch, 32);
VENDRIX_ASSERT_OFFSET(TexMapDefA, srcRows, 36);
VENDRIX_ASSERT_OFFSET(TexMapDefA, srcBuffer, 40);
VENDRIX_ASSERT_OFFSET(TexMapDefA, outRect, 48);
VENDRIX_ASSERT_OFFSET(TexMapDefA, outPitch, 64);
VENDRIX_ASSERT_OFFSET(TexMapDefA, outRows, 68);
VENDRIX_ASSERT_OFFSET(TexMapDefA, outBuffer, 72);
VENDRIX_ASSERT_OFFSET(TexMapDefA, visibleRect, 80);
VENDRIX_ASSERT_OFFSET(TexMapDefA, cornerShift, 96);

typedef struct TexMapDefD {
  uint32_t version;                                 /* VENDRIX_TEXMAP_D_VERSION (1003) */
  uint32_t pixelFormat;                             /* VENDRIX_PIXFMT_* code of both images */
  uint32_t fieldFlags;                              /* VENDRIX_TEXFIELD_* bits */
  uint32_t mapFlags;                                /* VENDRIX_MAP_* bits; the builder keeps bits it does not own */
  uint32_t rotation;                                /* low two bits: quarter turns 0..3 of the output quad */
  VendrixFxRect srcRect;                            /* 16.16 source rectangle; integer part of w = buffer width */
  float srcAspect;                                  /* horizontal factor before a rotation; used if 0.01 < v < 10 */
  int32_t srcPitch;                                 /* source row pitch, bytes */
  int32_t srcRows;                                  /* source rows (of the luma plane; planar chroma follows) */
  const void* srcBuffer;                            /* first byte of source row 0 */
  VendrixFxRect outRect;                            /* 16.16 output frame; integer parts of w, h = buffer size */
  float outAspect;                                  /* horizontal divisor after a rotation; used if 0.01 < v < 10 */
  int32_t outPitch;                                 /* output row pitch, bytes */
  int32_t outRows;                                  /* output rows (of the luma plane; planar chroma follows) */
  uint32_t reserved;                                /* 0; keeps outBuffer 8-byte aligned */
  void* outBuffer;                                  /* first byte of output row 0 */
  VendrixFxBox visibleRect;                         /* 16.16 output pixels the warped frame may cover (builder) */
  VendrixFxPoint cornerShift[VENDRIX_CORNER_COUNT]; /* 16.16 output pixels: displacement of output corner k (builder) */
  VendrixFxPoint bandShift[VENDRIX_TEXMAP_BAND_COUNT]; /* 16.16 pixels: extra source shift of band k, top first */
} TexMapDefD;
VENDRIX_ASSERT_SIZE(TexMapDefD, 400);
VENDRIX_ASSERT_OFFSET(TexMapDefD, version, 0);
VENDRIX_ASSERT_OFFSET(TexMapDefD, pixelFormat, 4);
VENDRIX_ASSERT_OFFSET(TexMapDefD, fieldFlags, 8);
VENDRIX_ASSERT_OFFSET(TexMapDefD, mapFlags, 12);
VENDRIX_ASSERT_OFFSET(TexMapDefD, rotation, 16);
VENDRIX_ASSERT_OFFSET(TexMapDefD, srcRect, 20);
VENDRIX_ASSERT_OFFSET(TexMapDefD, srcAspect, 36);
VENDRIX_ASSERT_OFFSET(TexMapDefD, srcPitch, 40);
VENDRIX_ASSERT_OFFSET(TexMapDefD, srcRows, 44);
VENDRIX_ASSERT_OFFSET(TexMapDefD, srcBuffer, 48);
VENDRIX_ASSERT_OFFSET(TexMapDefD, outRect, 56);
VENDRIX_ASSERT_OFFSET(TexMapDefD, outAspect, 72);
VENDRIX_ASSERT_OFFSET(TexMapDefD, outPitch, 76);
VENDRIX_ASSERT_OFFSET(TexMapDefD, outRows, 80);
VENDRIX_ASSERT_OFFSET(TexMapDefD, reserved, 84);
VENDRIX_ASSERT_OFFSET(TexMapDefD, outBuffer, 88);
VENDRIX_ASSERT_OFFSET(TexMapDefD, visibleRect, 96);
VENDRIX_ASSERT_OFFSET(TexMapDefD, cornerShift, 112);
VENDRIX_ASSERT_OFFSET(TexMapDefD, bandShift, 144);

/* ---------------------------------------------------------------------------------------------------
 * Real-time path records
 * ------------------------------------------------------------------------------------------------- */

#define VENDRIX_RT_CONFIG_TAG 2u
#define VENDRIX_RT_FRAME_TAG 1u

/* Window configuration of a new real-time path. */
#define VENDRIX_RT_DEFAULT_WINDOW_LENGTH 1000u
#define VENDRIX_RT_DEFAULT_STEADY_MARGIN 10u
#define VENDRIX_RT_DEFAULT_LOOK_AHEAD 20u

typedef struct RTPathConfig {
  uint32_t tag;          /* VENDRIX_RT_CONFIG_TAG (2) */
  uint32_t WindowLength; /* frames in the analysis window before it slides; 0 = 1000, clamped to 100..10000 */
  uint32_t SteadyMargin; /* frames at the end of a finished window not reported steady; 0 = 50, clamped 2..1000 */
  uint32_t LookAhead;    /* frames of look-ahead wanted beyond a requested frame; 0 = 50, clamped 2..1000 */
  uint32_t FieldPairs;   /* non-zero: interlaced stream, two analysis entries per frame */
} RTPathConfig;
VENDRIX_ASSERT_SIZE(RTPathConfig, 20);
VENDRIX_ASSERT_OFFSET(RTPathConfig, tag, 0);
VENDRIX_ASSERT_OFFSET(RTPathConfig, WindowLength, 4);
VENDRIX_ASSERT_OFFSET(RTPathConfig, SteadyMargin, 8);
VENDRIX_ASSERT_OFFSET(RTPathConfig, LookAhead, 12);
VENDRIX_ASSERT_OFFSET(RTPathConfig, FieldPairs, 16);

/* One frame of a stream, argument of RTMotionPathScanMap. */
typedef struct RTFrameInput {
  uint32_t tag;       /* VENDRIX_RT_FRAME_TAG (1) */
  uint32_t format;    /* VENDRIX_PIXFMT_* code */
  uint32_t fieldMode; /* VENDRIX_FIELD_* bits */
  int32_t width;      /* pixels */
  int32_t height;     /* rows */
  int32_t pitch;      /* bytes from one row to the next; may be negative */
  float aspectFactor; /* horizontal pixel aspect, as ScanInput.aspectFactor; a change restarts the window */
  uint32_t reserved;  /* not read; keeps the buffer pointer 8-byte aligned */
  const void* buffer; /* first byte of row 0 */
} RTFrameInput;
VENDRIX_ASSERT_SIZE(RTFrameInput, 40);
VENDRIX_ASSERT_OFFSET(RTFrameInput, tag, 0);
VENDRIX_ASSERT_OFFSET(RTFrameInput, format, 4);
VENDRIX_ASSERT_OFFSET(RTFrameInput, fieldMode, 8);
VENDRIX_ASSERT_OFFSET(RTFrameInput, width, 12);
VENDRIX_ASSERT_OFFSET(RTFrameInput, height, 16);
VENDRIX_ASSERT_OFFSET(RTFrameInput, pitch, 20);
VENDRIX_ASSERT_OFFSET(RTFrameInput, aspectFactor, 24);
VENDRIX_ASSERT_OFFSET(RTFrameInput, reserved, 28);
VENDRIX_ASSERT_OFFSET(RTFrameInput, buffer, 32);

/* ---------------------------------------------------------------------------------------------------
 * Image utility records
 * ------------------------------------------------------------------------------------------------- */

/* ConvRecord.mode values. */
#define VENDRIX_CONV_NORMAL 0u /* ordinary conversion (any value other than 1) */
#define VENDRIX_CONV_TINTED 1u /* tinted monochrome preview, where the format pair supports it */

/* MixRecord.mixMode values. */
#define VENDRIX_MIX_LINEAR 1u  /* linear cross-fade, the only mode */
#define VENDRIX_MIX_WEIGHT_MAX 65535 /* weight of B that gives B alone */

/* Argument of ConvImage and PrepPreviewImage. */
typedef struct ConvRecord {
  uint32_t tag;          /* VENDRIX_IMAGE_TAG (1) */
  uint32_t mode;         /* VENDRIX_CONV_* */
  ImageDesc source;      /* image read */
  ImageDesc destination; /* image written, resampled to its own size */
} ConvRecord;
VENDRIX_ASSERT_SIZE(ConvRecord, 88);
VENDRIX_ASSERT_OFFSET(ConvRecord, tag, 0);
VENDRIX_ASSERT_OFFSET(ConvRecord, mode, 4);
VENDRIX_ASSERT_OFFSET(ConvRecord, source, 8);
VENDRIX_ASSERT_OFFSET(ConvRecord, destination, 48);

/* Argument of MixABImage: C = A * (1 - w) + B * w. Image A is stored like ImageDesc but without its
 * reserved word, so that its pointer follows the tag naturally aligned. */
typedef struct MixRecord {
  uint32_t tag;          /* VENDRIX_IMAGE_TAG (1) */
  uint32_t aFormat;      /* A: VENDRIX_PIXFMT_* code; must equal B's and C's */
  uint32_t aFieldMode;   /* A: VENDRIX_FIELD_* bits; must equal B's and C's */
  uint32_t aHostWord0;   /* A: host-defined, never read */
  uint32_t aHostWord1;   /* A: host-defined, never read */
  int32_t aWidth;        /* A: pixels */
  int32_t aHeight;       /* A: rows */
  int32_t aPitch;        /* A: bytes from one row to the next; may be negative */
  const void* aBuffer;   /* A: first byte of row 0 */
  ImageDesc b;           /* B: second source, same format and field mode */
  ImageDesc c;           /* C: destination; may be the buffer of A or B */
  uint32_t mixMode;      /* VENDRIX_MIX_LINEAR (1) */
  int32_t weight;        /* weight of B, clamped to 0..65535 (65535 = B alone) */
  uint32_t reserved[2];  /* not read */
} MixRecord;
VENDRIX_ASSERT_SIZE(MixRecord, 136);
VENDRIX_ASSERT_OFFSET(MixRecord, tag, 0);
VENDRIX_ASSERT_OFFSET(MixRecord, aFormat, 4);
VENDRIX_ASSERT_OFFSET(MixRecord, aFieldMode, 8);
VENDRIX_ASSERT_OFFSET(MixRecord, aHostWord0, 12);
VENDRIX_ASSERT_OFFSET(MixRecord, aHostWord1, 16);
VENDRIX_ASSERT_OFFSET(MixRecord, aWidth, 20);
VENDRIX_ASSERT_OFFSET(MixRecord, aHeight, 24);
VENDRIX_ASSERT_OFFSET(MixRecord, aPitch, 28);
VENDRIX_ASSERT_OFFSET(MixRecord, aBuffer, 32);
VENDRIX_ASSERT_OFFSET(MixRecord, b, 40);
VENDRIX_ASSERT_OFFSET(MixRecord, c, 80);
VENDRIX_ASSERT_OFFSET(MixRecord, mixMode, 120);
VENDRIX_ASSERT_OFFSET(MixRecord, weight, 124);
VENDRIX_ASSERT_OFFSET(MixRecord, reserved, 128);

/* ===================================================================================================
 * Exported functions
 * =================================================================================================== */

/* --- Version ------------------------------------------------------------------------------------- */

/* Returns VENDRIX_VERSION. */
VENDRIX_API uint32_t VendrixVersion(void) VENDRIX_NOEXCEPT;

/* --- Global motion path -------------------------------------------------------------------------- */

/* Creates a path for frameCount frames (2 * frameCount entries with VENDRIX_PATH_INTERLACED). reserved is
 * not read. flags: VENDRIX_PATH_* bits, others ignored. Returns null when memory is exhausted. */
VENDRIX_API GlobalMotionPath* NewGlobalMotionPath(uint64_t reserved, uint32_t frameCount,
                                                  int32_t flags) VENDRIX_NOEXCEPT;

/* Releases the path and everything it owns. Null is ignored. */
VENDRIX_API void DeleteGlobalMotionPath(GlobalMotionPath* path) VENDRIX_NOEXCEPT;

/* Analyses frame `frame` (counted from 0). Does nothing for a null input or a tag other than 1. */
VENDRIX_API void ScanMapB(GlobalMotionPath* path, uint32_t frame, const ScanInput* input) VENDRIX_NOEXCEPT;

/* Settles the analysis and smooths the path. request may be null: tag 4, action -1, all else 0
 * (smoothing strength 0). Does nothing for a tag other than 4. */
VENDRIX_API void FinishPath(GlobalMotionPath* path, const FinishRequest* request) VENDRIX_NOEXCEPT;

/* Finishes with request {4, -1, 0, 0, flags, 0...} overridden by settings (which may be null). */
VENDRIX_API void FinishPathB(GlobalMotionPath* path, uint32_t flags, const PathSettings* settings) VENDRIX_NOEXCEPT;

/* Last entry whose analysis is complete, at most the capacity; -1 for a null path. */
VENDRIX_API int32_t GetCurrentAnalysisFrameCount(GlobalMotionPath* path) VENDRIX_NOEXCEPT;

/* out[0..2] = translation x, y (working pixels) and zoom term of the entry against its reference.
 * level must be 0 and 0 <= entry < capacity. Returns 1, or 0 on a refused argument. */
VENDRIX_API int32_t GetAnalysisFrameTranslation(GlobalMotionPath* path, int32_t level, int32_t entry,
                                                float* out) VENDRIX_NOEXCEPT;

/* out[0..2] = first tilt angle, second tilt angle and in-plane rotation of the entry, radians.
 * Same checks and result as GetAnalysisFrameTranslation. */
VENDRIX_API int32_t GetAnalysisFrameRotation(GlobalMotionPath* path, int32_t level, int32_t entry,
                                             float* out) VENDRIX_NOEXCEPT;

/* Fills record (tag 3) with the motion of the last analysed entry. reserved is not read. */
VENDRIX_API void GetFrameMV(GlobalMotionPath* path, uint64_t reserved, FrameMvRecord* record) VENDRIX_NOEXCEPT;

/* --- Compensation arrays ------------------------------------------------------------------------- */

/* Size in bytes of the path's array B (VENDRIX_COMP_B_SIZE(capacity)); 0 for a null path. */
VENDRIX_API int64_t SizeOfMotionCompArrayBPath(GlobalMotionPath* path) VENDRIX_NOEXCEPT;

/* Size in bytes of the path's array D (VENDRIX_COMP_D_SIZE(capacity)); 0 for a null path. */
VENDRIX_API int64_t SizeOfMotionCompArrayDPath(GlobalMotionPath* path) VENDRIX_NOEXCEPT;

/* Fills array B. block[0] must be VENDRIX_COMP_B_TAG; size must be the exact size, or 0 to only test
 * the tag. Returns 1 on success, 0 on a wrong tag or size (block untouched). */
VENDRIX_API uint32_t CopyMotionCompArrayBPath(GlobalMotionPath* path, uint32_t* block, int32_t size) VENDRIX_NOEXCEPT;

/* Fills array D; as CopyMotionCompArrayBPath with VENDRIX_COMP_D_TAG. */
VENDRIX_API uint32_t CopyMotionCompArrayDPath(GlobalMotionPath* path, uint32_t* block, int32_t size) VENDRIX_NOEXCEPT;

/* --- Texture mapping ----------------------------------------------------------------------------- */

/* Completes def for `frame` / `field` from compensation array B, rendered at width x height output
 * pixels (skipCompute != 0: only grades def). Returns a VENDRIX_TEXMAP_QUALITY_* code, 0 on refusal
 * (version not 2, non-positive size, array without analysis size; def untouched). */
VENDRIX_API int32_t DefTexMapA(TexMapDefA* def, const uint32_t* compArrayB, int32_t skipCompute, int32_t frame,
                               int32_t field, int32_t width, int32_t height) VENDRIX_NOEXCEPT;

/* Completes def from compensation array D; reserved is not read. Returns a VENDRIX_TEXMAP_QUALITY_*
 * code, 0 when the version is not 1003. */
VENDRIX_API int32_t DefTexMapD(TexMapDefD* def, const uint32_t* compArrayD, int32_t reserved, int32_t frame,
                               int32_t field, int32_t width, int32_t height) VENDRIX_NOEXCEPT;

/* Renders the warped frame described by def (version 2) into its output buffer. */
VENDRIX_API void TexMap(const TexMapDefA* def) VENDRIX_NOEXCEPT;

/* Renders the warped frame described by def (version 1003) into its output buffer. */
VENDRIX_API void TexMapD(const TexMapDefD* def) VENDRIX_NOEXCEPT;

/* --- Real-time path ------------------------------------------------------------------------------ */

/* Creates a streaming path with the default configuration and settings; null when memory is exhausted. */
VENDRIX_API RTMotionPath* NewRTMotionPath(void) VENDRIX_NOEXCEPT;

/* Releases the path and everything it owns. Null is ignored. */
VENDRIX_API void DeleteRTMotionPath(RTMotionPath* path) VENDRIX_NOEXCEPT;

/* Sets the window configuration (tag 2); a change discards the window. Returns 1, or 0 when refused. */
VENDRIX_API int32_t RTMotionPathConfigurate(RTMotionPath* path, const RTPathConfig* config) VENDRIX_NOEXCEPT;

/* Copies the current settings to out; size must be 60. Returns 1, or 0 when refused. */
VENDRIX_API int32_t RTMotionPathGetSettings(RTMotionPath* path, PathSettings* out, uint32_t size) VENDRIX_NOEXCEPT;

/* Replaces the settings; size must be 60. Re-analyses or re-finishes as the change requires.
 * Returns 1, or 0 when refused. */
VENDRIX_API int32_t RTMotionPathSetSettings(RTMotionPath* path, const PathSettings* in, int32_t size) VENDRIX_NOEXCEPT;

/* Analyses stream frame `frame`. Returns 0 when scanned (or scanned before), -1 when refused (bad
 * argument, or the window is full until a texture-map request slides it). */
VENDRIX_API int32_t RTMotionPathScanMap(RTMotionPath* path, const RTFrameInput* input, int64_t frame) VENDRIX_NOEXCEPT;

/* Prepares stream frame `frame` for display and, when def is not null, completes def (version 2) for
 * field 0 or 1 at width x height output pixels. reserved must be 0. Returns -1 when refused, 0 for a
 * null def, else the DefTexMapA result. */
VENDRIX_API int32_t RTMotionPathTexMapDef(RTMotionPath* path, TexMapDefA* def, int32_t reserved, int64_t frame,
                                          uint32_t field, int32_t width, int32_t height) VENDRIX_NOEXCEPT;

/* Stream frames whose compensation will not change any more. Outputs may be null and are -1 unless a
 * range of at least two frames exists. Returns 1 with a compensation array, else 0. */
VENDRIX_API int32_t RTMotionPathSteadyFrameRange(RTMotionPath* path, int64_t* first, int64_t* last) VENDRIX_NOEXCEPT;

/* Stream frames whose analysis is complete. Outputs as above. Returns 1 for a non-null path. */
VENDRIX_API int32_t RTMotionScannerCompletedFrameRange(RTMotionPath* path, int64_t* first,
                                                       int64_t* last) VENDRIX_NOEXCEPT;

/* For the frame to show next: how far scanning got, up to which frame it must go before `frame` is
 * steady, and how far ahead frames may be delivered. Outputs may be null. Returns 1 for a non-null path. */
VENDRIX_API int32_t RTMotionScannerRequirementsFrameRange(RTMotionPath* path, int64_t frame, int64_t* scanned,
                                                          int64_t* needed, int64_t* acceptable) VENDRIX_NOEXCEPT;

/* --- Profiles ------------------------------------------------------------------------------------ */

/* Number of profiles, VENDRIX_PROFILE_COUNT. */
VENDRIX_API int32_t GetProfileNums(void) VENDRIX_NOEXCEPT;

/* Copies profile `index` to out (60 bytes). Returns 1, or 0 for an index above 41 (out untouched). */
VENDRIX_API int32_t ApplyProfile(uint32_t index, PathSettings* out) VENDRIX_NOEXCEPT;

/* Highest profile index whose 60 bytes equal settings, or -1. */
VENDRIX_API int32_t FindProfile(const PathSettings* settings) VENDRIX_NOEXCEPT;

/* 1 when settings equal profile `index` byte for byte (or index is above 41), else 0. */
VENDRIX_API int32_t IsSameProfile(uint32_t index, const PathSettings* settings) VENDRIX_NOEXCEPT;

/* --- Image utilities ----------------------------------------------------------------------------- */

/* Converts and resamples record->source into record->destination. */
VENDRIX_API void ConvImage(const ConvRecord* record) VENDRIX_NOEXCEPT;

/* Cross-fades images A and B into C. */
VENDRIX_API void MixABImage(const MixRecord* record) VENDRIX_NOEXCEPT;

/* Converts as ConvImage, then paints the measurement cells of the path's last analysed entry over the
 * destination. path must not be null; reserved is not read. */
VENDRIX_API void PrepPreviewImage(GlobalMotionPath* path, uint64_t reserved, const ConvRecord* record) VENDRIX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VENDRIX_VENDRIX_H */
