// The `vendrix` plugin: registers the vendrixstab element.
#include <gst/gst.h>

#include "vendrix_stab.h"

static gboolean PluginInit(GstPlugin* plugin) {
  return gst_element_register(plugin, "vendrixstab", GST_RANK_NONE, VENDRIX_TYPE_STAB);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vendrix, "Video stabilisation with libvendrix", PluginInit,
                  VENDRIX_PLUGIN_VERSION, "unknown", "Vendrix", "Vendrix")
