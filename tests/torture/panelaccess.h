// Reading the state of a view and its editor that the bundle made. The fields
// are protected; pointers to members named through a subclass read them.
#pragma once

#include "AUGlimm3_UIView.h"
#include "glimmtextedit.h"
#include "vstglimmeditor.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>

struct ViewAccess : AUGlimm3_UIView {
  static VstGlimm3Editor* editor(AUGlimm3_UIView* v) { return v->*(&ViewAccess::m_editor); }
};

struct EditorAccess : VstGlimm3Editor {
  static const QString& text(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_text); }
  static const char* buffer(VstGlimm3Editor* e) { return (e->*(&EditorAccess::m_textBuffer)).get(); }
  static QWidget* panel(VstGlimm3Editor* e) { return (e->*(&EditorAccess::m_panel)).data(); }
  static QTextEdit* field(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_textEdit); }
  // Parameters 0-6 in index order: four sliders, then the sing, phonetic and filter switches.
  static QSlider* control(VstGlimm3Editor* e, int index) {
    static QSlider* VstGlimm3Editor::*const kControls[] = {
        &EditorAccess::m_pitchSlider,  &EditorAccess::m_speedSlider, &EditorAccess::m_mouthSlider,
        &EditorAccess::m_throatSlider, &EditorAccess::m_singSwitch,  &EditorAccess::m_phoneticSwitch,
        &EditorAccess::m_filterSwitch};
    return e->*kControls[index >= 0 && index < 6 ? index : 6];
  }
  static QLabel* singLabel(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_singLabel); }
  static QLabel* logo(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_logoLabel); }
  static QPushButton* viewButton(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_viewButton); }
};
