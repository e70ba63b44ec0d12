// The editor view: GlimmPanel.so in the host's X11 window, run by a timer of
// the host's IRunLoop, which the frame the host gives the view provides.
#include "GlimmVst3.h"

#include "Boundary.h"
#include "GlimmContract.h"
#include "GlimmPanelLoad.h"

#include <cstring>

namespace glimm::vst3 {

namespace {

constexpr uint64_t kTimerMs = 30;

class View {
 public:
  explicit View(Plugin* plugin) : m_plugin(plugin) {
    m_plugin->ref();
    m_host.context = this;
    m_host.setParameter = [](void* c, int index, float value) { of(c)->m_plugin->editFromPanel(index, value); };
    m_host.parameter = [](void* c, int index) { return of(c)->m_plugin->voice().parameter(index); };
    m_host.setText = [](void* c, const char* text, size_t size) { of(c)->m_plugin->voice().setText(text, size); };
    m_host.copyText = [](void* c, char* out) { of(c)->m_plugin->voice().copyText(out); };
    m_host.speak = [](void* c) { of(c)->m_plugin->voice().play(); };
  }
  ~View() {
    removed();
    setFrame(nullptr);
    m_plugin->unref();
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  v3_plugin_view** handle() { return reinterpret_cast<v3_plugin_view**>(&m_view); }

  v3_result query(const v3_tuid iid, void** obj) {
    if (!obj) return V3_INVALID_ARG;
    *obj = nullptr;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_view_iid))
      *obj = &m_view;
    else if (v3_tuid_match(iid, v3_timer_handler_iid))
      *obj = &m_timer;
    if (!*obj) return V3_NO_INTERFACE;
    ++m_refs;
    return V3_OK;
  }
  uint32_t ref() { return ++m_refs; }
  uint32_t unref() {
    const uint32_t left = --m_refs;
    if (left == 0) glimm::atBoundary([this] { delete this; });
    return left;
  }

  // Without the host's run loop nothing would run the panel's events: no view.
  v3_result attached(void* parent, const char* type) {
    if (m_panel || !type || std::strcmp(type, V3_VIEW_PLATFORM_TYPE_X11) != 0 || !m_runLoop) return V3_FALSE;
    const GlimmPanelApi* api = glimm::panel::load();
    if (!api || !(m_panel = api->open(&m_host))) return V3_FALSE;
    auto* timer = reinterpret_cast<v3_timer_handler**>(&m_timer);
    if (!api->embed(m_panel, reinterpret_cast<unsigned long>(parent)) ||
        v3_cpp_obj(m_runLoop)->register_timer(m_runLoop, timer, kTimerMs) != V3_OK) {
      api->close(m_panel);
      m_panel = nullptr;
      return V3_FALSE;
    }
    api->show(m_panel, 1);
    return V3_OK;
  }
  v3_result removed() {
    if (!m_panel) return V3_OK;
    v3_cpp_obj(m_runLoop)->unregister_timer(m_runLoop, reinterpret_cast<v3_timer_handler**>(&m_timer));
    glimm::panel::load()->close(m_panel);
    m_panel = nullptr;
    return V3_OK;
  }
  v3_result setFrame(v3_plugin_frame** frame) {
    if (m_runLoop) v3_cpp_obj_unref(m_runLoop);
    m_runLoop = nullptr;
    if (frame && v3_cpp_obj_query_interface(frame, v3_run_loop_iid, &m_runLoop) != V3_OK) m_runLoop = nullptr;
    return V3_OK;
  }
  void onTimer() {
    if (m_panel) glimm::panel::load()->idle(m_panel);
  }
  static v3_result size(v3_view_rect* rect) {
    if (!rect) return V3_INVALID_ARG;
    *rect = {0, 0, kGlimmPanelWidth, kGlimmPanelHeight};
    return V3_OK;
  }

 private:
  static View* of(void* c) { return static_cast<View*>(c); }
  static View* self(void* s) { return *reinterpret_cast<View**>(static_cast<char*>(s) + sizeof(void*)); }

  static const v3_plugin_view_cpp kViewTable;
  static const v3_timer_handler_cpp kTimerTable;

  Interface<v3_plugin_view_cpp, View> m_view{&kViewTable, this};
  Interface<v3_timer_handler_cpp, View> m_timer{&kTimerTable, this};
  std::atomic<uint32_t> m_refs{1};
  Plugin* const m_plugin;
  GlimmPanelHost m_host{};
  GlimmPanel* m_panel = nullptr;
  v3_run_loop** m_runLoop = nullptr;
};

// Static members' initialisers are in the class's scope: they may reach self().
const v3_plugin_view_cpp View::kViewTable = {
    {[](void* s, const v3_tuid iid, void** obj) { return self(s)->query(iid, obj); },
     [](void* s) { return self(s)->ref(); }, [](void* s) { return self(s)->unref(); }},
    {[](void*, const char* type) -> v3_result {
       return type && std::strcmp(type, V3_VIEW_PLATFORM_TYPE_X11) == 0 ? V3_TRUE : V3_FALSE;
     },
     [](void* s, void* parent, const char* type) {
       return glimm::atBoundary([&] { return self(s)->attached(parent, type); }, v3_result(V3_INTERNAL_ERR));
     },
     [](void* s) { return glimm::atBoundary([&] { return self(s)->removed(); }, v3_result(V3_INTERNAL_ERR)); },
     [](void*, float) -> v3_result { return V3_FALSE; },
     [](void*, int16_t, int16_t, int16_t) -> v3_result { return V3_FALSE; },
     [](void*, int16_t, int16_t, int16_t) -> v3_result { return V3_FALSE; },
     [](void*, v3_view_rect* rect) { return size(rect); },
     [](void*, v3_view_rect* rect) -> v3_result {
       return rect && rect->right - rect->left == kGlimmPanelWidth && rect->bottom - rect->top == kGlimmPanelHeight
                  ? V3_OK
                  : V3_FALSE;
     },
     [](void*, v3_bool) -> v3_result { return V3_OK; },
     [](void* s, v3_plugin_frame** frame) { return self(s)->setFrame(frame); },
     [](void*) -> v3_result { return V3_FALSE; }, [](void*, v3_view_rect* rect) { return size(rect); }},
};

const v3_timer_handler_cpp View::kTimerTable = {
    {[](void* s, const v3_tuid iid, void** obj) { return self(s)->query(iid, obj); },
     [](void* s) { return self(s)->ref(); }, [](void* s) { return self(s)->unref(); }},
    {[](void* s) { glimm::atBoundary([&] { self(s)->onTimer(); }); }},
};

}  // namespace

v3_plugin_view** Plugin::createView(const char* name) {
  if (!name || std::strcmp(name, "editor") != 0) return nullptr;
  return (new View(this))->handle();
}

}  // namespace glimm::vst3
