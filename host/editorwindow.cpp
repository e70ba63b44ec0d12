#include "editorwindow.h"

#include "cocoaviewloader.h"
#include "hostsettings.h"

#include "GlimmContract.h"

#include <AppKit/AppKit.h>
#include <QMacNativeWidget.h>

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QLayout>
#include <QMenuBar>
#include <QPixmap>

EditorWindow::EditorWindow(AudioUnit unit, std::function<void()> speak) : m_unit(unit), m_host(new QWidget(this)) {
  setWindowTitle(QStringLiteral("Glimm"));
  // The panel has one size; a larger window would only show it in a corner.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  // The panel's size until the editor's view says otherwise: a window shown
  // before the editor opens is not an empty sliver.
  m_host->setFixedSize(kGlimmPanelWidth, kGlimmPanelHeight);
  setCentralWidget(m_host);
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(tr("&Open..."), QKeySequence::Open, this, [this] { openSettings(); });
  file->addAction(tr("&Save..."), QKeySequence::Save, this, [this] { saveSettings(); });
  file->addSeparator();
  file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);
  QMenu* unitMenu = menuBar()->addMenu(tr("&Unit"));
  unitMenu->addAction(tr("&Speak"), QKeySequence(Qt::CTRL | Qt::Key_Space), this, [speak] { speak(); });
  // Resetting the unit drops the utterance and whatever it had rendered ahead.
  unitMenu->addAction(tr("S&top"), QKeySequence(Qt::Key_Escape), this,
                      [this] { (void)AudioUnitReset(m_unit, kAudioUnitScope_Global, 0); });
  // The unit announces no change of its Speaking property; a glance now and
  // then is enough for a title.
  connect(&m_speakingPoll, &QTimer::timeout, this, &EditorWindow::showSpeakingState);
  m_speakingPoll.start(100);
}

void EditorWindow::showSpeakingState() {
  UInt32 value = 0, size = sizeof value;
  const bool speaking =
      AudioUnitGetProperty(m_unit, kGlimmProperty_Speaking, kAudioUnitScope_Global, 0, &value, &size) == noErr &&
      value != 0;
  if (speaking == m_shownSpeaking) return;
  m_shownSpeaking = speaking;
  setWindowTitle(speaking ? QString::fromUtf8("Glimm \u2014 speaking") : QStringLiteral("Glimm"));
}

EditorWindow::~EditorWindow() { releaseEditor(); }

bool EditorWindow::openSettingsFile(const QString& path, QString* error) {
  const std::optional<HostSettings> settings = readHostSettings(path, HostTextLimit{true}, error);
  return settings && applyHostSettings(m_unit, *settings, error);
}

bool EditorWindow::saveSettingsFile(const QString& path, QString* error) {
  const std::optional<HostSettings> settings = captureHostSettings(m_unit, error);
  return settings && writeHostSettings(path, *settings, error);
}

void EditorWindow::openSettings() {
  const QString path =
      QFileDialog::getOpenFileName(this, tr("Open settings"), QString(), tr("Glimm settings (*.json);;All files (*)"));
  QString error;
  if (!path.isEmpty() && !openSettingsFile(path, &error)) QMessageBox::warning(this, tr("Open settings"), error);
}

void EditorWindow::saveSettings() {
  QString path =
      QFileDialog::getSaveFileName(this, tr("Save settings"), QString(), tr("Glimm settings (*.json);;All files (*)"));
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".json");
  QString error;
  if (!saveSettingsFile(path, &error)) QMessageBox::warning(this, tr("Save settings"), error);
}

bool EditorWindow::openEditor(QString* error) {
  NSAutoreleasePool* pool = new NSAutoreleasePool;
  std::string why;
  m_view = GlimmCreateCocoaView(m_unit, NSMakeSize(kGlimmPanelWidth, kGlimmPanelHeight), &why);
  if (!m_view) {
    pool->drain();
    *error = QString::fromStdString(why);
    return false;
  }
  const NSRect frame = m_view->frame();
  m_nsWindow = new NSWindow;
  m_nsWindow->contentView()->setFrame(NSMakeRect(0, 0, frame.size.width, frame.size.height));
  m_nsWindow->contentView()->addSubview(m_view);
  m_host->setFixedSize(int(frame.size.width), int(frame.size.height));

  // The view's subviews are native views of Qt windows: shown by moving
  // their widgets into this window, where focus and input work as usual.
  bool shown = false;
  for (NSView* sub : m_view->subviews()) {
    if (QWidget* w = GlimmWidgetForNativeView(sub)) {
      const NSRect f = sub->frame();
      w->setParent(m_host);
      w->move(int(f.origin.x), int(f.origin.y));
      w->show();
      shown = true;
    }
  }
  pool->drain();
  if (!shown) {
    releaseEditor();
    *error = QStringLiteral("the editor view holds nothing to show");
    return false;
  }
  return true;
}

void EditorWindow::releaseEditor() {
  if (!m_view && !m_nsWindow) return;
  NSAutoreleasePool* pool = new NSAutoreleasePool;
  if (m_view) {
    m_view->removeFromSuperview();
    m_view->release();  // the view tears its editor and listeners down
    m_view = nullptr;
  }
  if (m_nsWindow) {
    m_nsWindow->release();
    m_nsWindow = nullptr;
  }
  pool->drain();
}

bool EditorWindow::saveScreenshot(const QString& path) { return m_host->grab().save(path, "PNG"); }
