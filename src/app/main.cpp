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
    return result;
}
