#include "configfile.h"
#include "debugtext.h"
#include "updatetarvildialog.h"
#include "versionplan.h"

#include <QDebug>

static void logPlan(const QStringList& plan)
{
    for (const QString& version : plan)
        qDebug().noquote() << quoted(version);
}

static int logoType()
{
    bool ok = false;
    const int value = openConfig()->value(QLatin1String(ConfigKey::logoType)).toInt(&ok);
    return ok ? value : 0;
}

// Only the answer itself names a version: a redirect page, a 204 or a 206 part does not. A
// 203 is the answer as a rewriting proxy passed it on.
static bool holdsVersionAnswer(const QNetworkReply* versionReply)
{
    const int status = versionReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200 || status == 203)
        return true;
    qDebug().noquote() << tagged(QStringLiteral("[ERROR]:version reply with HTTP status"))
                       << status;
    return false;
}

// A reply cut off by the size cap or the time limit is closed and has nothing to read.
static QString versionReplyText(QNetworkReply* versionReply)
{
    return decodeVersionReply(versionReply->isOpen() ? versionReply->readAll() : QByteArray());
}

void UpdateTarvilDialog::recieveUpdateFinish()
{
    const QString text = versionReplyText(reply);
    qDebug().noquote() << "recieveUpdateFinish:all:" << quoted(escapedServerText(text));
    if (!handOverStarted && (versionQuestionFailed || !holdsVersionAnswer(reply))) {
        if (askNextApiServer())
            return;
        releaseReply();
        launchMainProgram();
        return;
    }
    releaseReply();
    // A reply whose request already failed has handed over; its body decides nothing.
    if (handOverStarted)
        return;
    if (text.isEmpty()) {
        // Nothing to evaluate and nothing else pending: end the run like any other
        // outcome without an update.
        launchMainProgram();
        return;
    }

    const QStringList plan
        = buildVersionList(text, curType == 0 ? programVersion : databaseVersion);
    settleKeptPartial(plan);
    if (plan.isEmpty()) {
        if (curType == 0)
            repairThenCheckDatabase();
        else
            launchMainProgram();
        return;
    }
    logPlan(plan);
    if (needsAdministrator()) {
        runAsAdministrator();
        return;
    }
    if (curType == 0 && logoType() == 1)
        showAlternateLogo();
    show();
    startUpgrade(plan);
}

QStringList UpdateTarvilDialog::buildVersionList(
    const QString& serverVersion, const QString& installedVersion)
{
    return versionPlan(serverVersion, installedVersion, [](float current, float server) {
        qDebug() << "f_arg2:" << current << "f_arg1:" << server;
    });
}
