// The gui extension: the panel module loaded beside this one, embedded in the
// host's X11 window and driven by the host's timer.
#include "GlimmClap.h"

#include "GlimmContract.h"
#include "GlimmPanelLoad.h"

#include <string>

namespace glimm::clap {

namespace {

// How often the host's timer lets the panel run Qt's events.
constexpr uint32_t kTimerMs = 30;

}  // namespace

const GlimmPanelApi* Plugin::panelApi() { return glimm::panel::load(); }

bool Plugin::guiCreate() {
  // Without the host's timer nothing would run the panel's events.
  if (m_panel || !m_hostTimer || !m_hostTimer->register_timer) return false;
  const GlimmPanelApi* api = panelApi();
  if (!api) return false;
  m_panelHost.context = this;
  m_panelHost.setParameter = [](void* c, int index, float value) {
    auto* self = static_cast<Plugin*>(c);
    if (!self->m_voice.setParameter(index, value)) return;
    // The host learns of it as a parameter event, at its next flush or process.
    self->m_guiChanges.push({uint32_t(index), self->m_voice.parameter(index)});
    if (self->m_hostParams) self->m_hostParams->request_flush(self->m_host);
  };
  m_panelHost.parameter = [](void* c, int index) { return static_cast<Plugin*>(c)->m_voice.parameter(index); };
  m_panelHost.setText = [](void* c, const char* text, size_t size) {
    auto* self = static_cast<Plugin*>(c);
    self->m_voice.setText(text, size);
    if (self->m_hostState) self->m_hostState->mark_dirty(self->m_host);
  };
  m_panelHost.copyText = [](void* c, char* out) { static_cast<Plugin*>(c)->m_voice.copyText(out); };
  m_panelHost.speak = [](void* c) { static_cast<Plugin*>(c)->m_voice.play(); };
  m_panel = api->open(&m_panelHost);
  if (!m_panel) return false;
  if (!m_hostTimer->register_timer(m_host, kTimerMs, &m_timer)) {
    api->close(m_panel);
    m_panel = nullptr;
    return false;
  }
  return true;
}

void Plugin::guiDestroy() {
  if (!m_panel) return;
  if (m_timer != CLAP_INVALID_ID) m_hostTimer->unregister_timer(m_host, m_timer);
  m_timer = CLAP_INVALID_ID;
  panelApi()->close(m_panel);
  m_panel = nullptr;
}

bool Plugin::guiSetParent(const clap_window_t* window) {
  if (!m_panel || !window || !window->api || std::string(window->api) != CLAP_WINDOW_API_X11) return false;
  return panelApi()->embed(m_panel, window->x11) != 0;
}

bool Plugin::guiShow(bool visible) {
  if (!m_panel) return false;
  panelApi()->show(m_panel, visible);
  return true;
}

void Plugin::onTimer(clap_id id) {
  if (m_panel && id == m_timer) panelApi()->idle(m_panel);
}

}  // namespace glimm::clap
