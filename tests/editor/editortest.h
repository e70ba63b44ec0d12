// Shared by the editor tests: an editor whose fields the tests may read, and
// a host window standing in for the native container.
#pragma once

#include "AUGlimm3_HostLink.h"
#include "glimmtextedit.h"
#include "recordinghostlink.h"
#include "vstglimmeditor.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QWidget>

#include <memory>

class TestEditor : public VstGlimm3Editor {
 public:
  using VstGlimm3Editor::m_configGroup;
  using VstGlimm3Editor::m_configShown;
  using VstGlimm3Editor::m_filterLabel;
  using VstGlimm3Editor::m_filterSwitch;
  using VstGlimm3Editor::m_isOpen;
  using VstGlimm3Editor::m_logoLabel;
  using VstGlimm3Editor::m_mouthLabel;
  using VstGlimm3Editor::m_mouthSlider;
  using VstGlimm3Editor::m_panel;
  using VstGlimm3Editor::m_phoneticLabel;
  using VstGlimm3Editor::m_phoneticSwitch;
  using VstGlimm3Editor::m_pitchLabel;
  using VstGlimm3Editor::m_pitchSlider;
  using VstGlimm3Editor::m_singLabel;
  using VstGlimm3Editor::m_singSwitch;
  using VstGlimm3Editor::m_speedLabel;
  using VstGlimm3Editor::m_speedSlider;
  using VstGlimm3Editor::m_text;
  using VstGlimm3Editor::m_textBuffer;
  using VstGlimm3Editor::m_textEdit;
  using VstGlimm3Editor::m_throatLabel;
  using VstGlimm3Editor::m_throatSlider;
  using VstGlimm3Editor::m_viewButton;
  using VstGlimm3Editor::VstGlimm3Editor;

  QByteArray bufferText() const { return QByteArray(m_textBuffer.get()); }
  QByteArray bufferBytes() const { return QByteArray(m_textBuffer.get(), 512); }

  // The panel's direct child widgets in creation (and stacking) order.
  QList<QWidget*> panelChildren() const { return m_panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly); }
  QPushButton* speakButton() const { return qobject_cast<QPushButton*>(panelChildren().at(16)); }
};

// A context the recording link treats as a live unit.
inline void* unitContext() { return &RecordingHostLink::instance(); }

// The host's container: 440 x 320, shown, holding one editor's panel.
struct OpenEditor {
  std::unique_ptr<QWidget> host;
  std::unique_ptr<TestEditor> editor;

  explicit OpenEditor(void* context = unitContext()) : host(new QWidget), editor(new TestEditor(context)) {
    host->resize(440, 320);
    host->show();
    editor->open(host.get());
  }
  ~OpenEditor() {
    editor.reset();
    host.reset();
  }
  TestEditor* operator->() const { return editor.get(); }
  TestEditor& operator*() const { return *editor; }
};
