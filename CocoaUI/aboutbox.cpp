#include "aboutbox.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// The README, built in (readme_text.cpp is generated from it).
extern const unsigned char glimm_readme_text[];
extern const unsigned long glimm_readme_text_size;

namespace {

// What Qt's desktop services look for before they give up with a warning.
bool webBrowserKnown() {
  for (const char* variable : {"DEFAULT_BROWSER", "BROWSER"})
    if (!qEnvironmentVariableIsEmpty(variable)) return true;
  for (const char* program : {"xdg-open", "firefox", "mozilla", "netscape", "opera", "google-chrome"})
    if (!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) return true;
  return false;
}

void showReadme(QWidget* parent) {
  QDialog dialog(parent);
  dialog.setWindowTitle(QStringLiteral("Glimm README"));
  auto* view = new QTextBrowser(&dialog);
  view->setOpenLinks(false);
  view->setMarkdown(
      QString::fromUtf8(reinterpret_cast<const char*>(glimm_readme_text), qsizetype(glimm_readme_text_size)));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(view);
  layout->addWidget(buttons);
  dialog.resize(640, 480);
  dialog.exec();
}

}  // namespace

void openAboutLink(QWidget* parent, const QString& link) {
  const QUrl url(link);
  if (url.isRelative()) return showReadme(parent);
  if (webBrowserKnown() && QDesktopServices::openUrl(url)) return;
  QMessageBox::information(parent, QStringLiteral("About"),
                           QStringLiteral("No web browser was found to open %1").arg(link.toHtmlEscaped()));
}

void showAboutBox(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About"), text, QMessageBox::Ok);
  const QIcon icon = box.windowIcon();
  box.setIconPixmap(icon.pixmap(icon.actualSize(QSize(64, 64))));
  if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
    label->setOpenExternalLinks(false);
    QObject::connect(label, &QLabel::linkActivated, &box, [&box](const QString& link) { openAboutLink(&box, link); });
  }
  box.exec();
}
