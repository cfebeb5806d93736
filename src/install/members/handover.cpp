#include "configfile.h"
#include "debugtext.h"
#include "elevation.h"
#include "transaction.h"
#include "updatetarvildialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QVector>

void UpdateTarvilDialog::launchMainProgram()
{
    // One hand-over per run: a late reply must not start a second main program.
    if (handOverStarted)
        return;
    handOverStarted = true;
    enterStep(RunStep::HandingOver);

    removeDirTree(downloadPath);
    InstallTransaction::removeLeftovers(appDir);
    writeConfigValue(ConfigKey::appModel, QStringLiteral("1"));
    // The main program never runs elevated: the copy that asked for this one starts it.
    if (isAdministratorCopy()) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        return;
    }

    // Never destroyed, so that the main program outlives the updater; listed here as well,
    // so that the object stays reachable until the process ends.
    static QVector<QProcess*>* const handedOver = new QVector<QProcess*>;
    mainProcess = new QProcess();
    handedOver->append(mainProcess);
    QDir::setCurrent(appDir);
    // By full path, since a bare name is looked up on PATH only; detached with the
    // application directory as working directory, so it outlives the updater.
    mainProcess->setProgram(appDir + QLatin1Char('/') + mainProgram);
    mainProcess->setArguments(QStringList { QString() });
    mainProcess->setWorkingDirectory(appDir);
    const bool started = mainProcess->startDetached();
    qDebug().noquote() << quoted(mainProgram);
    if (!started)
        qDebug() << "start error1";

    // Queued, so that a hand-over before the event loop runs still ends the run.
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}
