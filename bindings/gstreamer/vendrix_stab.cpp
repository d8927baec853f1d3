// The element: properties, caps, events and the GstBaseTransform hooks around one StreamWindow.
//
// The element holds frames itself (submit_input_buffer takes each input, generate_output hands out
// what became ready), so one input may yield no output (the first `delay` frames) and EOS may yield
// many. Properties may be set from any thread; the settings they make reach the library on the
// streaming thread, because one path object must only be used by one thread at a time.
#include "vendrix_stab.h"

#include <memory>

#include <gst/video/video.h>

#include "frame_layout.h"
#include "realtime_window.h"
#include "stab_settings.h"
#include "stream_window.h"

GST_DEBUG_CATEGORY_STATIC(vendrix_stab_debug);
#define GST_CAT_DEFAULT vendrix_stab_debug

using vendrix::gst::Compare;
using vendrix::gst::Framing;
using vendrix::gst::StabOptions;
using vendrix::gst::StreamWindow;

namespace {

using vendrix::cli::kDefaultLookAhead;

enum Property { kPropProfile = 1, kPropSmoothing, kPropAnalysisLevel, kPropFraming, kPropMaxZoom, kPropCompare,
                kPropLookAhead, kPropDelay };

// What the element keeps besides its GObject parts.
struct State {
  // Guarded by the object lock: written by the property setters on any thread.
  StabOptions options;
  int look_ahead = kDefaultLookAhead;
  bool settings_changed = false;
  GstClockTime frame_duration = GST_CLOCK_TIME_NONE;  // from the caps' frame rate, else the buffers'

  // The streaming thread's own.
  GstVideoInfo info{};
  std::unique_ptr<StreamWindow> window;
};

GType FramingType() {
  static GType type = 0;
  static const GEnumValue values[] = {
      {int(Framing::kCover), "Zoom to cover the output up to max-zoom, extend the edges beyond it", "cover"},
      {int(Framing::kFit), "Zoom as far as the movement needs, without a limit", "fit"},
      {int(Framing::kFill), "No zoom, black margins", "fill"},
      {int(Framing::kExtend), "No zoom, margins filled with stretched edge pixels", "extend"},
      {int(Framing::kCrop), "No zoom, a fixed black frame the size of the movement", "crop"},
      {int(Framing::kProfile), "The profile's own framing", "profile"},
      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type)) g_once_init_leave(&type, g_enum_register_static("VendrixStabFraming", values));
  return type;
}

GType CompareType() {
  static GType type = 0;
  static const GEnumValue values[] = {{int(Compare::kNone), "No split view", "none"},
                                      {int(Compare::kLeft), "Unwarped source in the left half", "left"},
                                      {int(Compare::kTop), "Unwarped source in the top half", "top"},
                                      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type)) g_once_init_leave(&type, g_enum_register_static("VendrixStabCompare", values));
  return type;
}

}  // namespace

struct _VendrixStab {
  GstBaseTransform parent;
  State* state;
};

G_DEFINE_TYPE(VendrixStab, vendrix_stab, GST_TYPE_BASE_TRANSFORM)

namespace {

// The library analyses frames up to 32767 pixels a side.
#define VENDRIX_STAB_CAPS                                                                                   \
  "video/x-raw, format = (string) { I420, NV12, YUY2, BGRx, BGRA, I420_10LE }, width = (int) [ 16, 32767 ], " \
  "height = (int) [ 16, 32767 ], framerate = " GST_VIDEO_FPS_RANGE                                            \
  ", interlace-mode = (string) { progressive, interleaved, mixed }"

State& StateOf(GstBaseTransform* trans) { return *VENDRIX_STAB(trans)->state; }

// A buffer for one output frame: from the negotiated pool when there is one, else plain memory of the
// caps' size.
GstBuffer* NewOutput(GstBaseTransform* trans) {
  GstBuffer* out = nullptr;
  if (GstBufferPool* pool = gst_base_transform_get_buffer_pool(trans)) {
    if (gst_buffer_pool_is_active(pool) || gst_buffer_pool_set_active(pool, TRUE))
      if (gst_buffer_pool_acquire_buffer(pool, &out, nullptr) != GST_FLOW_OK) out = nullptr;
    gst_object_unref(pool);
  }
  if (!out) out = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&StateOf(trans).info), nullptr);
  return out;
}

// Starts a new window for the negotiated format: at the first caps, after a format or size change and
// after a flush. False after posting an element error.
bool NewWindow(GstBaseTransform* trans) {
  State& s = StateOf(trans);
  GST_OBJECT_LOCK(trans);
  const PathSettings settings = SettingsFor(s.options);
  const int look_ahead = s.look_ahead;
  s.settings_changed = false;
  GST_OBJECT_UNLOCK(trans);
  s.window = std::make_unique<StreamWindow>(s.info, look_ahead, [trans] { return NewOutput(trans); });
  if (s.window->Start(settings)) return true;
  GST_ELEMENT_ERROR(trans, LIBRARY, INIT, ("%s", s.window->error().c_str()), (nullptr));
  s.window.reset();
  return false;
}

// Draws every held frame and pushes it downstream (at EOS, before new caps or a new segment). The
// drain scans repeats of the last frame into the path, so frames that still follow need a new window.
GstFlowReturn DrainAndPush(GstBaseTransform* trans) {
  State& s = StateOf(trans);
  if (!s.window || !s.window->holding()) return GST_FLOW_OK;
  if (!s.window->Drain()) {
    GST_ELEMENT_ERROR(trans, STREAM, FAILED, ("%s", s.window->error().c_str()), (nullptr));
    return GST_FLOW_ERROR;
  }
  GstFlowReturn ret = GST_FLOW_OK;
  while (GstBuffer* out = s.window->TakeDrawn()) {
    if (ret == GST_FLOW_OK)
      ret = gst_pad_push(trans->srcpad, out);
    else
      gst_buffer_unref(out);
  }
  GST_DEBUG_OBJECT(trans, "drained; %" G_GINT64_FORMAT " frames shown with a previous correction", s.window->reused());
  return NewWindow(trans) ? ret : GST_FLOW_ERROR;
}

gboolean SetCaps(GstBaseTransform* trans, GstCaps* incaps, GstCaps* /*outcaps*/) {
  State& s = StateOf(trans);
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, incaps)) return FALSE;
  // A renegotiation with the same caps (downstream asked for it) keeps the window and its frames.
  if (s.window && gst_video_info_is_equal(&info, &s.info)) return TRUE;
  s.info = info;
  GstClockTime duration = GST_CLOCK_TIME_NONE;
  if (GST_VIDEO_INFO_FPS_N(&info) > 0)
    duration = gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(&info), GST_VIDEO_INFO_FPS_N(&info));
  GST_OBJECT_LOCK(trans);
  const bool duration_changed = duration != s.frame_duration;
  s.frame_duration = duration;
  GST_OBJECT_UNLOCK(trans);
  // The latency is counted in frames: a new frame rate changes it.
  if (duration_changed) gst_element_post_message(GST_ELEMENT(trans), gst_message_new_latency(GST_OBJECT(trans)));
  return NewWindow(trans);
}

gboolean AcceptCaps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps) {
  if (GST_BASE_TRANSFORM_CLASS(vendrix_stab_parent_class)->accept_caps(trans, direction, caps)) return TRUE;
  // Fixed raw-video caps refused: upstream has settled on a format this element cannot draw. Say which
  // formats it takes instead of leaving only "not-negotiated".
  GstVideoInfo info;
  if (direction == GST_PAD_SINK && gst_caps_is_fixed(caps) && gst_video_info_from_caps(&info, caps) &&
      !vendrix::gst::IsSupportedFormat(GST_VIDEO_INFO_FORMAT(&info)))
    GST_ELEMENT_ERROR(trans, CORE, NEGOTIATION,
                      ("vendrixstab takes raw video in %s, not %s", vendrix::gst::kFormatNames,
                       gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info))),
                      ("refused caps %" GST_PTR_FORMAT, caps));
  return FALSE;
}

gboolean SinkEvent(GstBaseTransform* trans, GstEvent* event) {
  State& s = StateOf(trans);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      // Caps that change nothing (sent again after a renegotiation) leave the window as it is.
      GstCaps* caps = nullptr;
      GstVideoInfo info;
      gst_event_parse_caps(event, &caps);
      if (gst_video_info_from_caps(&info, caps) && gst_video_info_is_equal(&info, &s.info)) break;
      [[fallthrough]];
    }
    case GST_EVENT_EOS:
    case GST_EVENT_SEGMENT:
      // The held frames belong to what came before: they leave first, in their own caps and segment.
      DrainAndPush(trans);
      break;
    case GST_EVENT_FLUSH_STOP:
      // After a flush (a seek) the next frame does not follow the held ones: a new window.
      if (s.window) s.window.reset();
      break;
    default:
      break;
  }
  const gboolean ok = GST_BASE_TRANSFORM_CLASS(vendrix_stab_parent_class)->sink_event(trans, event);
  if (ok && GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP && GST_VIDEO_INFO_FORMAT(&s.info) != GST_VIDEO_FORMAT_UNKNOWN)
    return NewWindow(trans);
  return ok;
}

GstFlowReturn SubmitInputBuffer(GstBaseTransform* trans, gboolean /*is_discont*/, GstBuffer* buffer) {
  State& s = StateOf(trans);
  if (!gst_base_transform_reconfigure(trans) || !s.window) {
    gst_buffer_unref(buffer);
    return GST_PAD_IS_FLUSHING(trans->srcpad) ? GST_FLOW_FLUSHING : GST_FLOW_NOT_NEGOTIATED;
  }
  GST_OBJECT_LOCK(trans);
  const bool changed = s.settings_changed;
  const PathSettings settings = SettingsFor(s.options);
  s.settings_changed = false;
  if (!GST_CLOCK_TIME_IS_VALID(s.frame_duration) && GST_BUFFER_DURATION_IS_VALID(buffer))
    s.frame_duration = GST_BUFFER_DURATION(buffer);
  GST_OBJECT_UNLOCK(trans);
  if (changed) s.window->ChangeSettings(settings);
  if (!s.window->Arrive(buffer)) {
    GST_ELEMENT_ERROR(trans, STREAM, FAILED, ("%s", s.window->error().c_str()), (nullptr));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

GstFlowReturn GenerateOutput(GstBaseTransform* trans, GstBuffer** out) {
  State& s = StateOf(trans);
  *out = s.window ? s.window->TakeDrawn() : nullptr;
  return GST_FLOW_OK;
}

gboolean Query(GstBaseTransform* trans, GstPadDirection direction, GstQuery* query) {
  const gboolean ok = GST_BASE_TRANSFORM_CLASS(vendrix_stab_parent_class)->query(trans, direction, query);
  if (!ok || direction != GST_PAD_SRC || GST_QUERY_TYPE(query) != GST_QUERY_LATENCY) return ok;
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  GST_OBJECT_LOCK(trans);
  const GstClockTime duration = StateOf(trans).frame_duration;
  const int delay = StreamWindow::DelayFor(StateOf(trans).look_ahead);
  GST_OBJECT_UNLOCK(trans);
  if (!GST_CLOCK_TIME_IS_VALID(duration)) {
    GST_WARNING_OBJECT(trans, "frame rate not known yet: %d frames of latency not reported", delay);
    return ok;
  }
  const GstClockTime ours = duration * GstClockTime(delay);
  min += ours;
  if (GST_CLOCK_TIME_IS_VALID(max)) max += ours;
  gst_query_set_latency(query, live, min, max);
  return ok;
}

gboolean Stop(GstBaseTransform* trans) {
  State& s = StateOf(trans);
  s.window.reset();
  gst_video_info_init(&s.info);
  return TRUE;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  auto* trans = GST_BASE_TRANSFORM(object);
  State& s = StateOf(trans);
  if (id == kPropLookAhead && GST_STATE(object) > GST_STATE_READY) {
    GST_WARNING_OBJECT(object, "look-ahead can only be changed in the NULL or READY state");
    return;
  }
  GST_OBJECT_LOCK(object);
  StabOptions& o = s.options;
  switch (id) {
    case kPropProfile: o.profile = g_value_get_int(value); break;
    case kPropSmoothing: o.smoothing = g_value_get_double(value); break;
    case kPropAnalysisLevel: o.analysis_level = g_value_get_int(value); break;
    case kPropFraming: o.framing = Framing(g_value_get_enum(value)); break;
    case kPropMaxZoom: o.max_zoom = g_value_get_double(value); break;
    case kPropCompare: o.compare = Compare(g_value_get_enum(value)); break;
    case kPropLookAhead: s.look_ahead = g_value_get_int(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
  s.settings_changed = true;
  GST_OBJECT_UNLOCK(object);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  State& s = StateOf(GST_BASE_TRANSFORM(object));
  GST_OBJECT_LOCK(object);
  const StabOptions& o = s.options;
  switch (id) {
    case kPropProfile: g_value_set_int(value, o.profile); break;
    case kPropSmoothing: g_value_set_double(value, o.smoothing); break;
    case kPropAnalysisLevel: g_value_set_int(value, o.analysis_level); break;
    case kPropFraming: g_value_set_enum(value, int(o.framing)); break;
    case kPropMaxZoom: g_value_set_double(value, o.max_zoom); break;
    case kPropCompare: g_value_set_enum(value, int(o.compare)); break;
    case kPropLookAhead: g_value_set_int(value, s.look_ahead); break;
    case kPropDelay: g_value_set_int(value, StreamWindow::DelayFor(s.look_ahead)); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
  GST_OBJECT_UNLOCK(object);
}

void Finalize(GObject* object) {
  delete VENDRIX_STAB(object)->state;
  G_OBJECT_CLASS(vendrix_stab_parent_class)->finalize(object);
}

void InstallProperties(GObjectClass* gobject_class) {
  constexpr auto kPlaying = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
  constexpr auto kReady = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
  const StabOptions d;
  // A new profile or analysis level restarts the analysis, so the frames in the window lose their
  // corrections; smoothing re-smooths the window and the framing only changes how frames are drawn.
  g_object_class_install_property(gobject_class, kPropProfile,
      g_param_spec_int("profile", "Profile", "Settings profile the other properties override (0..41)", 0,
                       VENDRIX_PROFILE_COUNT - 1, d.profile, kReady));
  g_object_class_install_property(gobject_class, kPropAnalysisLevel,
      g_param_spec_int("analysis-level", "Analysis level",
                       "Motion analysis: 0..8 block matching, 9 feature tracking; -1 the profile's", -1, 9,
                       d.analysis_level, kReady));
  g_object_class_install_property(gobject_class, kPropSmoothing,
      g_param_spec_double("smoothing", "Smoothing", "How strongly the camera path is smoothed (0..1); -1 the profile's",
                          -1.0, 1.0, d.smoothing, kPlaying));
  g_object_class_install_property(gobject_class, kPropFraming,
      g_param_spec_enum("framing", "Framing", "How the margins a correction opens are handled", FramingType(),
                        int(d.framing), kPlaying));
  g_object_class_install_property(gobject_class, kPropMaxZoom,
      g_param_spec_double("max-zoom", "Max zoom", "Zoom limit of the cover framing", 1.1, 4.0, d.max_zoom, kPlaying));
  g_object_class_install_property(gobject_class, kPropCompare,
      g_param_spec_enum("compare", "Compare", "Split view with the unwarped source", CompareType(), int(d.compare),
                        kPlaying));
  g_object_class_install_property(gobject_class, kPropLookAhead,
      g_param_spec_int("look-ahead", "Look-ahead", "Later frames the smoothing sees before a frame is shown", 2, 1000,
                       kDefaultLookAhead, kReady));
  g_object_class_install_property(gobject_class, kPropDelay,
      g_param_spec_int("delay", "Delay", "Frames held: a frame leaves when this many later frames have arrived", 0,
                       G_MAXINT, StreamWindow::DelayFor(kDefaultLookAhead),
                       GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
}

}  // namespace

static void vendrix_stab_class_init(VendrixStabClass* klass) {
  GST_DEBUG_CATEGORY_INIT(vendrix_stab_debug, "vendrixstab", 0, "vendrix stabiliser");
  auto* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = SetProperty;
  gobject_class->get_property = GetProperty;
  gobject_class->finalize = Finalize;
  InstallProperties(gobject_class);

  auto* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_set_static_metadata(element_class, "Video stabiliser", "Filter/Effect/Video",
                                        "Steadies shaky video with a fixed delay of frames", "Vendrix");
  GstCaps* caps = gst_caps_from_string(VENDRIX_STAB_CAPS);
  gst_element_class_add_pad_template(element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
  gst_element_class_add_pad_template(element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
  gst_caps_unref(caps);

  auto* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->set_caps = SetCaps;
  trans_class->accept_caps = AcceptCaps;
  trans_class->sink_event = SinkEvent;
  trans_class->submit_input_buffer = SubmitInputBuffer;
  trans_class->generate_output = GenerateOutput;
  trans_class->query = Query;
  trans_class->stop = Stop;
}

static void vendrix_stab_init(VendrixStab* self) {
  self->state = new State;
  gst_video_info_init(&self->state->info);
}
