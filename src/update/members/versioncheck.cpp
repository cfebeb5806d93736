#include "configfile.h"
#include "debugtext.h"
#include "request.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

// A version reply holds one number; anything this large is not one.
static const qint64 maxVersionReplyBytes = 64 * 1024;

void UpdateTarvilDialog::CheckProgramUpdate()
{
    curType = 0;
    enterStep(RunStep::Asking);
    QString rendered;
    const QUrl url = serverUrl(apiBase(), QStringLiteral("/client/verProgram.php"), &rendered);
    qDebug().noquote() << "CheckProgramUpdate_Url:" << quoted(rendered);
    reply = sendVersionQuestion(url);
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
        SLOT(slotError(QNetworkReply::NetworkError)));
    connect(reply, SIGNAL(readyRead()), this, SLOT(slotReadyRead()));
    connect(reply, SIGNAL(finished()), this, SLOT(recieveUpdateFinish()));
    setStatusText(QStringLiteral("获取服务器最新版本号"));
}

void UpdateTarvilDialog::CheckDataBaseUpdate()
{
    qDebug() << "CheckDataBaseUpdate()检查DLL升级";
    curType = 1;
    enterStep(RunStep::Asking);
    reply = sendVersionQuestion(serverUrl(apiBase(), QStringLiteral("/client/verDll.php")));
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
        SLOT(slotError(QNetworkReply::NetworkError)));
    connect(reply, SIGNAL(finished()), this, SLOT(recieveUpdateFinish()));
}

void UpdateTarvilDialog::slotError(QNetworkReply::NetworkError errorCode)
{
    qDebug() << "error:" << int(errorCode);
    // With another server listed, the question goes there once this reply has finished.
    if (reply && apiServerIndex + 1 < apiBaseUrls().size()) {
        versionQuestionFailed = true;
        return;
    }
    launchMainProgram();
}

QNetworkReply* UpdateTarvilDialog::sendVersionQuestion(const QUrl& url)
{
    QNetworkRequest request = makeRequest(url);
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* versionReply = networkManager->get(request);
    capVersionReply(versionReply);
    return versionReply;
}

void UpdateTarvilDialog::capVersionReply(QNetworkReply* versionReply)
{
    // readyRead, not downloadProgress: Qt throttles the progress signal to one per 100 ms,
    // so a fast server could deliver any size before the first one. The body stays unread
    // until the reply has finished, so bytesAvailable() is all that has arrived.
    connect(versionReply, &QNetworkReply::readyRead, this, [versionReply] {
        const qint64 received = versionReply->bytesAvailable();
        if (received <= maxVersionReplyBytes || !versionReply->isRunning())
            return;
        qDebug().noquote() << tagged(QStringLiteral("[ERROR]:version reply too large:")) << received
                           << "bytes";
        versionReply->abort();
    });
}

// The listed API server the questions go to; the last one once every other has failed.
QString UpdateTarvilDialog::apiBase() const
{
    const QStringList bases = apiBaseUrls();
    return bases.value(apiServerIndex, bases.last());
}

// The version question failed on one server: true when it has gone to the next one.
bool UpdateTarvilDialog::askNextApiServer()
{
    const QStringList bases = apiBaseUrls();
    if (apiServerIndex + 1 >= bases.size())
        return false;
    const QString failed = QUrl(bases.at(apiServerIndex)).host();
    ++apiServerIndex;
    versionQuestionFailed = false;
    qDebug().noquote() << quoted(QStringLiteral("version server %1 failed; asking %2")
                                     .arg(escapedServerText(failed),
                                         escapedServerText(QUrl(bases.at(apiServerIndex)).host())));
    releaseReply();
    if (curType == 0)
        CheckProgramUpdate();
    else
        CheckDataBaseUpdate();
    return true;
}
