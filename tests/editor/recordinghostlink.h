// A host link that records every call and stands in for the speech unit's
// text property: a 512-byte store that announces each set, as a real unit
// does, so tests can deliver the announcement back to the editor.
#pragma once

#include <QByteArray>
#include <QList>

class VstGlimm3Editor;

struct HostLinkCall {
  enum Kind { Parameter, Text, Play, GetProperty, Activate };
  explicit HostLinkCall(Kind k) : kind(k) {}
  Kind kind;
  void* context = nullptr;
  int index = 0;    // parameter index
  float value = 0;  // parameter value
  void* sender = nullptr;
  QByteArray buffer;  // all 512 bytes given to setTextProperty
  int propertyID = 0;
  int size = 0;
  void* nativeView = nullptr;

  // The text in buffer, up to its terminator.
  QByteArray text() const { return buffer.left(buffer.indexOf('\0')); }
};

class RecordingHostLink {
 public:
  static RecordingHostLink& instance();

  void reset();
  QList<HostLinkCall> callsOf(HostLinkCall::Kind kind) const;
  int count(HostLinkCall::Kind kind) const { return int(callsOf(kind).size()); }

  // The unit's text store. setUnitText writes text plus terminator over the
  // start of the store and leaves the rest, like a set of a shorter text.
  void setUnitText(const QByteArray& text);
  void setUnitBytes(const QByteArray& all512);
  QByteArray unitText() const { return m_store.left(m_store.indexOf('\0')); }
  const QByteArray& unitBytes() const { return m_store; }

  // Hands pending text announcements to the editor until none is left;
  // returns how many were delivered.
  int deliver(VstGlimm3Editor& editor);

  QList<HostLinkCall> calls;
  int getPropertyStatus = 0;
  int pendingAnnouncements = 0;

 private:
  friend void setTextProperty(void*, char*, void*);
  friend int getProperty(void*, int, void*, int);
  QByteArray m_store = QByteArray(512, '\0');
};
