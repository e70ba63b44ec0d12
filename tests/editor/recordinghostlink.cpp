#include "recordinghostlink.h"

#include "AUGlimm3_HostLink.h"
#include "AUGlimm3_Interface.h"
#include "vstglimmeditor.h"

#include <cstring>

RecordingHostLink& RecordingHostLink::instance() {
  static RecordingHostLink link;
  return link;
}

void RecordingHostLink::reset() {
  calls.clear();
  getPropertyStatus = 0;
  pendingAnnouncements = 0;
  m_store = QByteArray(512, '\0');
}

QList<HostLinkCall> RecordingHostLink::callsOf(HostLinkCall::Kind kind) const {
  QList<HostLinkCall> out;
  for (const HostLinkCall& c : calls)
    if (c.kind == kind) out.append(c);
  return out;
}

void RecordingHostLink::setUnitText(const QByteArray& text) {
  Q_ASSERT(text.size() < 512);
  std::memcpy(m_store.data(), text.constData(), text.size() + 1);
}

void RecordingHostLink::setUnitBytes(const QByteArray& all512) {
  Q_ASSERT(all512.size() == 512);
  m_store = all512;
}

int RecordingHostLink::deliver(VstGlimm3Editor& editor) {
  int delivered = 0;
  // A loop that never settles fails the test instead of hanging it.
  while (pendingAnnouncements > 0 && delivered < 100) {
    --pendingAnnouncements;
    ++delivered;
    editor.updateTextEdit();
  }
  return delivered;
}

// The null-context rule of the real link: calls go nowhere, getProperty
// fails. Calls are still recorded so tests can see what the editor attempted.

void parameterDispatcher(void* hostContext, int index, float value, void* sender) {
  HostLinkCall c(HostLinkCall::Parameter);
  c.context = hostContext;
  c.index = index;
  c.value = value;
  c.sender = sender;
  RecordingHostLink::instance().calls.append(c);
}

void setTextProperty(void* hostContext, char* textBuffer, void* sender) {
  auto& link = RecordingHostLink::instance();
  HostLinkCall c(HostLinkCall::Text);
  c.context = hostContext;
  c.sender = sender;
  c.buffer = QByteArray(textBuffer, kGlimmTextBufferSize);
  link.calls.append(c);
  if (!hostContext) return;
  link.m_store = c.buffer;
  ++link.pendingAnnouncements;
}

void setPlayProperty(void* hostContext) {
  HostLinkCall c(HostLinkCall::Play);
  c.context = hostContext;
  RecordingHostLink::instance().calls.append(c);
}

int getProperty(void* hostContext, int propertyID, void* data, int size) {
  auto& link = RecordingHostLink::instance();
  HostLinkCall c(HostLinkCall::GetProperty);
  c.context = hostContext;
  c.propertyID = propertyID;
  c.size = size;
  link.calls.append(c);
  if (!hostContext) return -1;
  if (link.getPropertyStatus != 0) return link.getPropertyStatus;
  if (propertyID != kGlimmProperty_Text || size != kGlimmTextBufferSize)
    return -50;  // paramErr, as a unit would answer
  std::memcpy(data, link.m_store.constData(), kGlimmTextBufferSize);
  return 0;
}

void activateCocoaWindow(void* nativeView) {
  HostLinkCall c(HostLinkCall::Activate);
  c.nativeView = nativeView;
  RecordingHostLink::instance().calls.append(c);
}
