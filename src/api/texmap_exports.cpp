// Texture-map rendering exports: thin wrappers over the renderer, which catches its own faults.
#include "texmap/render.h"
#include "vendrix/vendrix.h"

extern "C" void TexMap(const TexMapDefA* def) noexcept { vendrix::texmap::RenderTexMapA(def); }

extern "C" void TexMapD(const TexMapDefD* def) noexcept { vendrix::texmap::RenderTexMapD(def); }
