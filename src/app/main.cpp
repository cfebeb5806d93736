#include "logmessagehandler.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    qInstallMessageHandler(logMessageHandler);

    int result;
    {
        UpdateTarvilDialog dialog;
        result = app.exec();
    }
    // The dialog hands its network manager to deferred deletion; run it before exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
