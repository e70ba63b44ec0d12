// The editor panel for formats whose UI lives in the plug-in's own module
// (CLAP, VST3): a module of its own, GlimmPanel.so, loaded beside the plug-in
// only when a host opens the UI, so the DSP never links Qt. Plain C types
// only: the adaptor that loads it sees neither Qt nor X11.
//
// Threads: every call, and every callback, on the host's GUI thread (CLAP's
// main thread, VST3's UI thread). The host drives the panel by calling idle()
// from its timer or run loop; the panel runs no thread or event loop of its own.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// What the panel asks of the plug-in.
typedef struct GlimmPanelHost {
  void* context;
  // A control moved by the user.
  void (*setParameter)(void* context, int index, float value);
  float (*parameter)(void* context, int index);
  // The text as typed (bytes, no NUL); and the current one, NUL-padded into
  // kGlimmTextBufferSize bytes.
  void (*setText)(void* context, const char* text, size_t size);
  void (*copyText)(void* context, char* out);
  // SPEAK! or Return.
  void (*speak)(void* context);
} GlimmPanelHost;

typedef struct GlimmPanel GlimmPanel;

typedef struct GlimmPanelApi {
  // The panel at its fixed size, not yet in any window; null when no panel
  // can be shown (no X server and no Qt application of the host's). `host`
  // must outlive the panel.
  GlimmPanel* (*open)(const GlimmPanelHost* host);
  // Moves the panel into the host's X11 window; false when that cannot be
  // (not on X11, or no such window).
  int (*embed)(GlimmPanel* panel, unsigned long window);
  void (*show)(GlimmPanel* panel, int visible);
  // Runs Qt's pending events and brings the controls and the text up to
  // the plug-in's values.
  void (*idle)(GlimmPanel* panel);
  void (*close)(GlimmPanel* panel);
  int width, height;
} GlimmPanelApi;

// The one exported symbol.
const GlimmPanelApi* glimm_panel_api(void);
#define GLIMM_PANEL_API_SYMBOL "glimm_panel_api"
#define GLIMM_PANEL_FILE_NAME "GlimmPanel.so"

#ifdef __cplusplus
}
#endif
