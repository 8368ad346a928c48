#include "ui/desktop.h"

#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include "engine/recovery_job.h"

bool OpenInDesktop(const QUrl& url) {
    if (url.isEmpty()) return false;
    const long uid = ElevatingUserId();
    if (uid > 0) {
        const passwd* user = getpwuid(static_cast<uid_t>(uid));
        if (user != nullptr) {
            return QProcess::startDetached(
                QStringLiteral("runuser"),
                {QStringLiteral("-u"), QString::fromLocal8Bit(user->pw_name), QStringLiteral("--"),
                 QStringLiteral("xdg-open"), url.toString(QUrl::FullyEncoded)});
        }
    }
    return QDesktopServices::openUrl(url);
}

QUrl ProductPageUrl(const QString& strPage) {
    const QString file = strPage + QStringLiteral(".html");
    const QStringList folders = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/ferrowen/docs"),
        QStringLiteral(FERROWEN_INSTALLED_DOCS_DIR),
        QStringLiteral(FERROWEN_SOURCE_DOCS_DIR),
    };
    for (const QString& folder : folders) {
        const QFileInfo page(folder + QLatin1Char('/') + file);
        if (page.isFile()) return QUrl::fromLocalFile(page.canonicalFilePath());
    }
    return {};
}
