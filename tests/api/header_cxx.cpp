// Compile check of the public header as C++20: it must stand alone (first and only include), build without
// warnings, give every export C linkage with its exact signature, and declare every export noexcept so
// that no exception can cross into a host. Nothing here calls or takes the address of an export, so this
// object needs no library at link time. (The records stay plain C data in C++: the header compiles as
// strict C11 in header_c.c and adds nothing under __cplusplus but the linkage and noexcept.)
#include <vendrix/vendrix.h>

// Every export declared again with C linkage, exactly as a host or the library defines it. A different
// parameter or return type, a missing noexcept or C++ linkage in the header makes these conflicting
// declarations.
extern "C" {
uint32_t VendrixVersion() noexcept;
GlobalMotionPath* NewGlobalMotionPath(uint64_t reserved, uint32_t frameCount, int32_t flags) noexcept;
void DeleteGlobalMotionPath(GlobalMotionPath* path) noexcept;
void ScanMapB(GlobalMotionPath* path, uint32_t frame, const ScanInput* input) noexcept;
void FinishPath(GlobalMotionPath* path, const FinishRequest* request) noexcept;
void FinishPathB(GlobalMotionPath* path, uint32_t flags, const PathSettings* settings) noexcept;
int32_t GetCurrentAnalysisFrameCount(GlobalMotionPath* path) noexcept;
int32_t GetAnalysisFrameTranslation(GlobalMotionPath* path, int32_t level, int32_t entry, float* out) noexcept;
int32_t GetAnalysisFrameRotation(GlobalMotionPath* path, int32_t level, int32_t entry, float* out) noexcept;
void GetFrameMV(GlobalMotionPath* path, uint64_t reserved, FrameMvRecord* record) noexcept;
int64_t SizeOfMotionCompArrayBPath(GlobalMotionPath* path) noexcept;
int64_t SizeOfMotionCompArrayDPath(GlobalMotionPath* path) noexcept;
uint32_t CopyMotionCompArrayBPath(GlobalMotionPath* path, uint32_t* block, int32_t size) noexcept;
uint32_t CopyMotionCompArrayDPath(GlobalMotionPath* path, uint32_t* block, int32_t size) noexcept;
int32_t DefTexMapA(TexMapDefA* def, const uint32_t* compArrayB, int32_t skipCompute, int32_t frame, int32_t field,
                   int32_t width, int32_t height) noexcept;
int32_t DefTexMapD(TexMapDefD* def, const uint32_t* compArrayD, int32_t reserved, int32_t frame, int32_t field,
                   int32_t width, int32_t height) noexcept;
void TexMap(const TexMapDefA* def) noexcept;
void TexMapD(const TexMapDefD* def) noexcept;
RTMotionPath* NewRTMotionPath() noexcept;
void DeleteRTMotionPath(RTMotionPath* path) noexcept;
int32_t RTMotionPathConfigurate(RTMotionPath* path, const RTPathConfig* config) noexcept;
int32_t RTMotionPathGetSettings(RTMotionPath* path, PathSettings* out, uint32_t size) noexcept;
int32_t RTMotionPathSetSettings(RTMotionPath* path, const PathSettings* in, int32_t size) noexcept;
int32_t RTMotionPathScanMap(RTMotionPath* path, const RTFrameInput* input, int64_t frame) noexcept;
int32_t RTMotionPathTexMapDef(RTMotionPath* path, TexMapDefA* def, int32_t reserved, int64_t frame, uint32_t field,
                              int32_t width, int32_t height) noexcept;
int32_t RTMotionPathSteadyFrameRange(RTMotionPath* path, int64_t* first, int64_t* last) noexcept;
int32_t RTMotionScannerCompletedFrameRange(RTMotionPath* path, int64_t* first, int64_t* last) noexcept;
int32_t RTMotionScannerRequirementsFrameRange(RTMotionPath* path, int64_t frame, int64_t* scanned,
                                              int64_t* needed, int64_t* acceptable) noexcept;
int32_t GetProfileNums() noexcept;
int32_t ApplyProfile(uint32_t index, PathSettings* out) noexcept;
int32_t FindProfile(const PathSettings* settings) noexcept;
int32_t IsSameProfile(uint32_t index, const PathSettings* settings) noexcept;
void ConvImage(const ConvRecord* record) noexcept;
void MixABImage(const MixRecord* record) noexcept;
void PrepPreviewImage(GlobalMotionPath* path, uint64_t reserved, const ConvRecord* record) noexcept;
}
