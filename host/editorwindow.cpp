#include "editorwindow.h"

#include "cocoaviewloader.h"

#include "GlimmContract.h"

#include <AppKit/AppKit.h>
#include <QMacNativeWidget.h>

#include <QAction>
#include <QLayout>
#include <QMenuBar>
#include <QPixmap>

EditorWindow::EditorWindow(AudioUnit unit, std::function<void()> speak) : m_unit(unit), m_host(new QWidget(this)) {
  setWindowTitle(QStringLiteral("Glimm"));
  // The panel has one size; a larger window would only show it in a corner.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  setCentralWidget(m_host);
  QMenu* file = menuBar()->addMenu(tr("&File"));
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

bool EditorWindow::openEditor(QString* error) {
  NSAutoreleasePool* pool = new NSAutoreleasePool;
  std::string why;
  m_view = GlimmCreateCocoaView(m_unit, NSMakeSize(440, 320), &why);
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
