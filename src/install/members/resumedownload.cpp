#include "configfile.h"
#include "debugtext.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QFile>
#include <QTimer>

// A package transfer that ends early is asked for again from the bytes on disk, never
// spliced: a range reply must continue exactly those bytes of the same total length.

void UpdateTarvilDialog::startPackageAttempts()
{
    packageTotal = -1;
    packageValidator.clear();
    bytesAtLastFailure = 0;
    packageRestarted = false;
    retryBudget.reset();
}

// From the reply's head, before any of its bytes is written. False: the reply was refused
// and has finished.
bool UpdateTarvilDialog::decidePackageBody()
{
    bodyDecided = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    packageBodyUse = bodyUse(status, reply->rawHeader("Content-Range"), resumeOffset, packageTotal);
    if (packageBodyUse == BodyUse::Restart && packageRestarted)
        packageBodyUse = BodyUse::Refuse;
    if (packageBodyUse == BodyUse::Refuse) {
        rangeRefused = true;
        reply->abort();
        return false;
    }
    if (packageBodyUse == BodyUse::Restart) {
        // The whole package again: the server changed it or does not do ranges.
        qDebug().noquote() << quoted(QStringLiteral("%1 download starts again from 0: the "
                                                    "server sent the whole package")
                                         .arg(VerList.value(VerIndex)));
        packageRestarted = true;
        restartPackageFromZero();
        packageBodyUse = BodyUse::Append;
    }
    if (packageBodyUse != BodyUse::Append)
        return true;
    if (resumeOffset == 0) {
        packageTotal = packageHeader("Content-Length").toLongLong();
        if (packageTotal <= 0)
            packageTotal = -1;
        packageValidator = rangeValidator(packageHeader("ETag"), packageHeader("Last-Modified"));
    } else {
        qDebug().noquote() << quoted(QStringLiteral("%1 download resumed at %2 bytes from %3")
                                         .arg(VerList.value(VerIndex))
                                         .arg(resumeOffset)
                                         .arg(escapedServerText(reply->url().host())));
    }
    return true;
}

// The package reply's own value of a header, without what a redirect before it left.
QByteArray UpdateTarvilDialog::packageHeader(const QByteArray& name) const
{
    return finalHeaderValue(name, reply->rawHeader(name));
}

// After a failed transfer: true when the package is asked for again (now or after a pause).
bool UpdateTarvilDialog::retryPackage()
{
    if (downloadOverLimit || downloadWriteFailed || downloadFile->error() != QFileDevice::NoError)
        return false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    ReplyEnding ending
        = rangeRefused ? ReplyEnding::Mismatch : classifyReply(reply->error(), status);
    if (ending == ReplyEnding::Done && endedShort())
        ending = ReplyEnding::Transient;
    const qint64 onDisk = downloadFile->size();
    if (ending == ReplyEnding::Mismatch) {
        if (packageRestarted)
            return false;
        qDebug().noquote() << quoted(QStringLiteral("%1 download starts again from 0: %2")
                                         .arg(VerList.value(VerIndex), interruptionReason()));
        packageRestarted = true;
        restartPackageFromZero();
        askAgainAfter(0);
        return true;
    }
    if (ending != ReplyEnding::Transient)
        return false;
    // Nothing on disk yet: this server is given up at once.
    if (onDisk == 0)
        return tryNextPackageServer();
    // Small gains add up until they count as progress.
    const bool progressed = madeProgress(bytesAtLastFailure, onDisk, packageTotal);
    if (progressed)
        bytesAtLastFailure = onDisk;
    const int delay = retryBudget.nextDelay(progressed, reply->rawHeader("Retry-After"));
    // Without a validator a range could splice two versions: the bytes on disk go, once.
    if (delay < 0 || (packageValidator.isEmpty() && packageRestarted))
        return tryNextPackageServer();
    qDebug().noquote() << quoted(QStringLiteral("%1 download interrupted at %2 of %3 bytes: %4; "
                                                "retrying in %5 s")
                                     .arg(VerList.value(VerIndex))
                                     .arg(onDisk)
                                     .arg(packageTotal)
                                     .arg(interruptionReason())
                                     .arg(delay));
    if (packageValidator.isEmpty()) {
        packageRestarted = true;
        restartPackageFromZero();
    }
    askAgainAfter(delay);
    return true;
}

QString UpdateTarvilDialog::interruptionReason() const
{
    if (rangeRefused)
        return QStringLiteral("Content-Range %1 does not continue the package")
            .arg(escapedServerText(QString::fromLatin1(reply->rawHeader("Content-Range"))));
    return interruptionText(reply);
}

// The package's server is given up: true when the package has gone to the next one listed,
// which continues the bytes on disk only if it names the same validator.
bool UpdateTarvilDialog::tryNextPackageServer()
{
    const QStringList bases = packageBaseUrls();
    if (packageServerIndex + 1 >= bases.size())
        return false;
    const QString failed = packageRequestUrl.host();
    ++packageServerIndex;
    packageRequestUrl = QUrl(packageUrl());
    qDebug().noquote() << quoted(
        QStringLiteral("%1 package server %2 given up at %3 bytes: %4; "
                       "trying %5")
            .arg(VerList.value(VerIndex), escapedServerText(failed))
            .arg(downloadFile->size())
            .arg(interruptionReason(), escapedServerText(packageRequestUrl.host())));
    retryBudget.reset();
    bytesAtLastFailure = downloadFile->size();
    packageRestarted = false;
    askAgainAfter(0);
    return true;
}

// The reply ended without an error, but fewer bytes are on disk than first announced.
bool UpdateTarvilDialog::endedShort() const
{
    return packageTotal > 0 && downloadFile->size() < packageTotal;
}

// The bytes on disk go; with trusted keys the hash starts again with them.
void UpdateTarvilDialog::restartPackageFromZero()
{
    downloadFile->resize(0);
    downloadFile->seek(0);
    resumeOffset = 0;
    bytesAtLastFailure = 0;
    packageTotal = -1;
    packageValidator.clear();
    packageHasher.takeDigest();
}

// One request in flight: the failed reply goes now, the next one after the pause. The
// window keeps its event loop meanwhile, so the close button still ends the run at once.
void UpdateTarvilDialog::askAgainAfter(int seconds)
{
    releaseReply();
    QTimer::singleShot(seconds * 1000, this, [this] {
        if (downloadFile && !handOverStarted)
            requestPackage(packageRequestUrl);
    });
}
