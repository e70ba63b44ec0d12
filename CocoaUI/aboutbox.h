// The editor's About box, with its links opened by the editor itself.
#pragma once

#include <QString>

class QWidget;

// Shows `text` in a modal About box (QMessageBox::about's box). A relative
// link names the project's README, shown in a window of its own; any other
// opens in a web browser when the machine has one, else the box says where
// it leads. Qt's desktop services would print a warning into the host's
// stderr instead.
void showAboutBox(const QString& text);
void openAboutLink(QWidget* parent, const QString& link);
