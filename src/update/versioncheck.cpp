#include "configfile.h"
#include "debugtext.h"
#include "request.h"
#include "ui_updatetarvildialog.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

// A version reply holds one number; anything this large is not one.
static const qint64 maxVersionReplyBytes = 64 * 1024;

void UpdateTarvilDialog::CheckProgramUpdate()
{
    curType = 0;
    QString rendered;
    const QUrl url = serverUrl(apiBaseUrl(), QStringLiteral("/client/verProgram.php"), &rendered);
    qDebug().noquote() << "CheckProgramUpdate_Url:" << quoted(rendered);
    reply = sendVersionQuestion(url);
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
        SLOT(slotError(QNetworkReply::NetworkError)));
    connect(reply, SIGNAL(readyRead()), this, SLOT(slotReadyRead()));
    connect(reply, SIGNAL(finished()), this, SLOT(recieveUpdateFinish()));
    ui->label_text->setText(QStringLiteral("获取服务器最新版本号"));
}

void UpdateTarvilDialog::CheckDataBaseUpdate()
{
    qDebug() << "CheckDataBaseUpdate()检查DLL升级";
    curType = 1;
    reply = sendVersionQuestion(serverUrl(apiBaseUrl(), QStringLiteral("/client/verDll.php")));
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
        SLOT(slotError(QNetworkReply::NetworkError)));
    connect(reply, SIGNAL(finished()), this, SLOT(recieveUpdateFinish()));
}

void UpdateTarvilDialog::slotError(QNetworkReply::NetworkError errorCode)
{
    qDebug() << "error:" << int(errorCode);
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
