// vendrixstab: a GStreamer element that steadies raw video on the library's real-time path, holding a
// fixed number of frames and reporting them as latency.
#pragma once

#include <gst/base/gstbasetransform.h>

G_BEGIN_DECLS

#define VENDRIX_TYPE_STAB (vendrix_stab_get_type())
G_DECLARE_FINAL_TYPE(VendrixStab, vendrix_stab, VENDRIX, STAB, GstBaseTransform)

G_END_DECLS
