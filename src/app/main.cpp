#include "appdirectory.h"
#include "debugtext.h"
#include "displayscale.h"
#include "logmessagehandler.h"
#include "readahead.h"
#include "runlock.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QNetworkProxyFactory>
#include <QStandardPaths>

namespace {

void logWindowFit(const WindowFit& fit)
{
    if (fit.factor() < 1)
        qDebug().noquote() << QStringLiteral("window shrunk to %1 of its size to fit the screen")
                                  .arg(fit.factor(), 0, 'f', 3);
}

// The form names 微软雅黑; where it is missing, draw Latin and Chinese text in one CJK family
// instead of mixing a Latin fallback with borrowed Chinese glyphs.
void substituteFormFont()
{
    QFont::insertSubstitutions(QStringLiteral("微软雅黑"),
        { QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
            QStringLiteral("Noto Sans CJK SC") });
}

int runDialog(QApplication& app)
{
    int result;
    {
        UpdateTarvilDialog dialog;
        dialog.setTrustedKeys(
            QString::fromLatin1(UPDATER_TRUSTED_KEYS).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        result = app.exec();
    }
    // The dialog hands its network manager to deferred deletion; run it before exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    enableHighDpiScaling();
    const WindowFit fit(UpdateTarvilDialog::windowSize());
    ReadAheadLimitedApplication app(argc, argv);
    fit.restore();
    setApplicationDirectory(QCoreApplication::applicationDirPath());
    QDir::setCurrent(applicationDirectory());
    setLogDirectories(applicationDirectory(),
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    qInstallMessageHandler(logMessageHandler);
    logWindowFit(fit);
    // Taken before anything in the directory is looked at, the journal's recovery included.
    const RunLock lock(applicationDirectory());
    if (lock.heldByAnother()) {
        qDebug().noquote() << quoted(
            QStringLiteral("another updater is running in this directory; this one ends"));
        return 0;
    }
    substituteFormFont();
    // The proxy the user configured: the proxy variables on Linux, the system settings on
    // Windows.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    return runDialog(app);
}
