#include "debugtext.h"
#include "elevation.h"
#include "updatetarvildialog.h"

#include <QDebug>

// A package is due in a directory this process may not write: an elevated copy installs it.
// The copy that is elevated already never asks again.
bool UpdateTarvilDialog::needsAdministrator() const
{
    return elevationAvailable() && !isAdministratorCopy() && !directoryTakesFiles(appDir);
}

// This process shows nothing and waits; the elevated copy asks and installs; the hand-over is
// this process's, so the main program never runs elevated.
void UpdateTarvilDialog::runAsAdministrator()
{
    qDebug().noquote() << quoted(
        QStringLiteral("%1 cannot be written: an administrator's copy of the updater installs")
            .arg(appDir));
    administratorCopy = new ElevatedCopy(this);
    connect(administratorCopy, &ElevatedCopy::finished, this, [this](int exitCode) {
        qDebug().noquote() << quoted(
            QStringLiteral("the administrator's copy ended with code %1").arg(exitCode));
        launchMainProgram();
    });
    QString reason;
    if (administratorCopy->start(appDir, &reason))
        return;
    qDebug().noquote() << quoted(
        QStringLiteral("administrator's copy not started: %1; nothing installed").arg(reason));
    launchMainProgram();
}
