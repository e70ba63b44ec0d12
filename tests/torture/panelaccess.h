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
  static QSlider* control(VstGlimm3Editor* e, int index) {
    switch (index) {
      case 0:
        return e->*(&EditorAccess::m_pitchSlider);
      case 1:
        return e->*(&EditorAccess::m_speedSlider);
      case 2:
        return e->*(&EditorAccess::m_mouthSlider);
      case 3:
        return e->*(&EditorAccess::m_throatSlider);
      case 4:
        return e->*(&EditorAccess::m_singSwitch);
      case 5:
        return e->*(&EditorAccess::m_phoneticSwitch);
      default:
        return e->*(&EditorAccess::m_filterSwitch);
    }
  }
  static QLabel* singLabel(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_singLabel); }
  static QLabel* logo(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_logoLabel); }
  static QPushButton* viewButton(VstGlimm3Editor* e) { return e->*(&EditorAccess::m_viewButton); }
};
