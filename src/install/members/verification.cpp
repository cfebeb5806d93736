#include "debugtext.h"
#include "packagedownload.h"
#include "request.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QNetworkAccessManager>

void UpdateTarvilDialog::setTrustedKeys(const QStringList& keyLines)
{
    trustedKeyLines = keyLines;
    if (trustedKeyLines.isEmpty())
        qWarning().noquote() << "packages are not verified: this updater trusts no signing key";
}

// The package is on disk and complete; with trusted keys its signature decides whether it
// is installed, before anything of it is extracted.
void UpdateTarvilDialog::verifyThenInstall()
{
    if (trustedKeyLines.isEmpty()) {
        installDownloadedPackage();
        return;
    }
    enterStep(RunStep::Verifying);
    downloadedDigest = packageDownload->digest();
    requestSignature();
}

void UpdateTarvilDialog::requestSignature()
{
    // The package reply has finished; the signature request takes its place.
    releaseReply();
    signatureBody.reset(signatureFileLimit);
    const QUrl url(packageUrl() + QStringLiteral(".minisig"));
    qDebug().noquote() << "signature - curType:" << curType << quoted(url.toString());
    // Read ahead at most as far as every reply of the manager; a body without end is cut at
    // the cap.
    reply = networkManager->get(makeRequest(url));
    connect(reply, &QNetworkReply::readyRead, this, &UpdateTarvilDialog::signatureReadyRead);
    connect(reply, &QNetworkReply::finished, this, &UpdateTarvilDialog::signatureFinished);
}

void UpdateTarvilDialog::signatureReadyRead() { signatureBody.take(reply); }

void UpdateTarvilDialog::signatureFinished()
{
    const QString failure = signatureFailure();
    if (!failure.isEmpty()) {
        abandonPackage(QStringLiteral("%1 signature refused: %2")
                           .arg(packageToSign().version, escapedServerText(failure)));
        return;
    }
    qDebug().noquote() << quoted(
        QStringLiteral("%1 signature verified").arg(packageToSign().version));
    installDownloadedPackage();
}

QString UpdateTarvilDialog::signatureFailure() const
{
    if (signatureBody.overLimit())
        return QStringLiteral("signature file larger than %1 bytes").arg(signatureFileLimit);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && status != 200)
        return QStringLiteral("no signature file: HTTP status %1").arg(status);
    if (reply->error() != QNetworkReply::NoError)
        return QStringLiteral("no signature file: error %1 %2")
            .arg(QString::number(int(reply->error())), reply->errorString());
    return signatureRefusal(
        signatureBody.bytes(), downloadedDigest, trustedKeyLines, packageToSign());
}

// Signed for the version it is recorded as: the program package for the plan's last version,
// a database package for its own.
SignedPackage UpdateTarvilDialog::packageToSign() const
{
    return { QUrl(packageUrl()).fileName(), recordVersion() };
}
