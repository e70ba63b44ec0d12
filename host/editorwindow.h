// The host's window: asks the unit for its editor view the Mac way, puts the
// view in a window, and shows the Qt panel behind it at its own size.
#pragma once

#include <AudioUnit/AudioUnit.h>

#include <QMainWindow>
#include <QTimer>

#include <functional>

class NSView;
class NSWindow;

class EditorWindow : public QMainWindow {
  Q_OBJECT

 public:
  EditorWindow(AudioUnit unit, std::function<void()> speak);
  ~EditorWindow() override;

  // False with a message naming what failed (and where) when there is no editor.
  bool openEditor(QString* error);
  // Saves the editor panel, as shown, to a PNG file.
  bool saveScreenshot(const QString& path);
  // The widget the panel is shown in (the window's central widget).
  QWidget* panelHost() const { return m_host; }
  // File ▸ Open... and Save... without their dialogs: false with a message
  // naming the file and what is wrong; a bad file changes nothing.
  bool openSettingsFile(const QString& path, QString* error);
  bool saveSettingsFile(const QString& path, QString* error);

 private:
  void releaseEditor();
  void openSettings();
  void saveSettings();
  void showSpeakingState();

  AudioUnit m_unit;
  QWidget* m_host;
  NSWindow* m_nsWindow = nullptr;
  NSView* m_view = nullptr;
  QTimer m_speakingPoll;
  bool m_shownSpeaking = false;
};
