// Handing pages and folders to the user's desktop (browser, file manager).
#pragma once

#include <QString>
#include <QUrl>

// Opens the URL in the desktop's default application. When the program runs elevated for a
// user (pkexec, sudo), the opener runs as that user: a browser or file manager started as
// root would refuse to run or would write root-owned files into the user's home.
bool OpenInDesktop(const QUrl& url);

// The local page shipped with the program: "help", "support" or "about". Looked up beside
// the installed program first, then in the source tree of a development build. Empty when
// neither exists.
QUrl ProductPageUrl(const QString& strPage);
