#include "logmessagehandler.h"
#include "readahead.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QNetworkProxyFactory>

int main(int argc, char* argv[])
{
    ReadAheadLimitedApplication app(argc, argv);
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    qInstallMessageHandler(logMessageHandler);
    // The form names 微软雅黑; where it is missing, draw Latin and Chinese text in one
    // CJK family instead of mixing a Latin fallback with borrowed Chinese glyphs.
    QFont::insertSubstitutions(QStringLiteral("微软雅黑"),
        { QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
            QStringLiteral("Noto Sans CJK SC") });

    // The proxy the user configured: the proxy variables on Linux, the system settings on
    // Windows.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

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
