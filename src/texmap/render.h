// The texture-map renderer behind the TexMap and TexMapD exports: turns a definition into one or 32
// textured quads, draws them in horizontal bands on the worker pools with the rasteriser of the pixel
// format (converting formats that have none of their own), and finishes the output: background fill
// or edge extension, last row and column, split view, guide grid and frame border.
#pragma once

#include "vendrix/vendrix.h"

namespace vendrix::texmap {

// Renders `def` (version 1003) into its output buffer; does nothing for a null record, another
// version, or a definition whose images cannot be rendered safely. Never throws: a fault while
// rendering writes "Vendrix: InternalTexMap exception\n" to the debug output and ends the call.
void RenderTexMapD(const TexMapDefD* def) noexcept;

// The same for a TexMapDefA (version 2), rendered as the equivalent TexMapDefD.
void RenderTexMapA(const TexMapDefA* def) noexcept;

// The TexMapDefD that a TexMapDefA stands for: version 1003, the A record's fields, mapFlags without
// 0x200, no rotation, no aspect factors and no band shifts.
TexMapDefD WidenDefinition(const TexMapDefA& def);

// Frees the temporary images kept between renders for reuse. Call when no render is running (the
// library calls it at detach; tests call it before checking the heap's live-block count).
void ReleaseRenderScratch();

}  // namespace vendrix::texmap
