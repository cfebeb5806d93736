#include "packagedownload.h"

#include "debugtext.h"
#include "request.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtConcurrent>

PackageDownload::PackageDownload(QFile* file, const Job& job, QObject* parent)
    : QObject(parent)
    , m_file(file)
    , m_job(job)
    , m_url(job.urls.value(job.server))
    , m_server(job.server)
{
}

PackageDownload::~PackageDownload()
{
    // The hashing of kept bytes writes into this object's hasher.
    if (m_keptHashing)
        m_keptHashing->waitForFinished();
}

void PackageDownload::logLine(const QString& text) const { qDebug().noquote() << quoted(text); }

void PackageDownload::continueKept(const KeptPartial& kept)
{
    m_total = kept.total;
    m_validator = kept.validator;
    m_keptWhole = kept.whole;
    m_file->seek(m_file->size());
    if (kept.whole)
        logLine(
            QStringLiteral("%1 package kept whole by an earlier run: %2 bytes, none to download")
                .arg(kept.version)
                .arg(kept.size));
    else
        logLine(QStringLiteral("%1 download continues from %2 of %3 bytes kept by an earlier run")
                    .arg(kept.version)
                    .arg(kept.size)
                    .arg(kept.total));
    if (!m_job.hash) {
        settleKept(true);
        return;
    }
    m_hasher.takeDigest();
    m_keptHashing = new QFutureWatcher<bool>(this);
    connect(m_keptHashing, &QFutureWatcher<bool>::finished, this, [this] {
        const bool hashed = m_keptHashing->result();
        m_keptHashing->deleteLater();
        m_keptHashing = nullptr;
        settleKept(hashed);
    });
    const QString path = QFileInfo(m_file->fileName()).absoluteFilePath();
    PackageHasher* hasher = &m_hasher;
    const qint64 size = kept.size;
    m_keptHashing->setFuture(
        QtConcurrent::run([path, size, hasher] { return hashFileInto(path, size, hasher); }));
}

// Kept bytes that could not be read are dropped; a whole package is complete at once.
void PackageDownload::settleKept(bool hashed)
{
    if (!hashed) {
        m_keptWhole = false;
        restartFromZero();
    } else if (m_keptWhole) {
        m_file->close();
        if (m_job.hash)
            m_digest = m_hasher.takeDigest();
    }
    emit ready();
}

QNetworkReply* PackageDownload::send(QNetworkAccessManager* manager, const QUrl& url)
{
    m_url = url;
    QNetworkRequest request = makeRequest(url);
    // Without a validator a range could splice two versions.
    if (m_validator.isEmpty() && m_file->size() > 0)
        restartFromZero();
    m_resumeOffset = m_file->size();
    m_bodyDecided = false;
    m_rangeRefused = false;
    if (m_resumeOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeOffset) + '-');
        request.setRawHeader("If-Range", m_validator);
    }
    m_reply = manager->get(request);
    return m_reply;
}

bool PackageDownload::receive()
{
    if (!m_bodyDecided && !decideBody())
        return false;
    const QByteArray data = m_reply->readAll();
    if (m_bodyUse == BodyUse::Discard)
        return false;
    // Whatever the server declares or sends beyond the limit is refused at once. Aborting
    // finishes the reply before abort() returns.
    const qint64 declared = header("Content-Length").toLongLong();
    if (m_resumeOffset + declared > m_job.limitBytes
        || m_file->pos() + data.size() > m_job.limitBytes) {
        m_overLimit = true;
        m_reply->abort();
        return false;
    }
    // Stopped at the first failed write: a body that never ends would keep the run going.
    if (m_file->write(data) != data.size()) {
        m_writeFailed = true;
        m_reply->abort();
        return false;
    }
    if (m_job.hash)
        m_hasher.addData(data);
    return m_total > 0;
}

bool PackageDownload::share(qint64 received, qint64 total, qint64* done, qint64* whole) const
{
    if (m_bodyDecided && m_bodyUse == BodyUse::Discard)
        return false;
    // A resumed transfer counts only the rest: the bar shows the whole package.
    *done = received + m_resumeOffset;
    *whole = total < 0 ? total : total + m_resumeOffset;
    return true;
}

qint64 PackageDownload::bytesOnDisk() const { return m_file->pos(); }

// From the reply's head, before any of its bytes is written. False: the reply was refused
// and has finished.
bool PackageDownload::decideBody()
{
    m_bodyDecided = true;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_bodyUse = bodyUse(status, m_reply->rawHeader("Content-Range"), m_resumeOffset, m_total);
    if (m_bodyUse == BodyUse::Restart && m_restarted)
        m_bodyUse = BodyUse::Refuse;
    if (m_bodyUse == BodyUse::Refuse) {
        m_rangeRefused = true;
        m_reply->abort();
        return false;
    }
    if (m_bodyUse == BodyUse::Restart) {
        // The whole package again: the server changed it or does not do ranges.
        logLine(QStringLiteral("%1 download starts again from 0: the server sent the whole "
                               "package")
                    .arg(m_job.version));
        m_restarted = true;
        restartFromZero();
        m_bodyUse = BodyUse::Append;
    }
    if (m_bodyUse != BodyUse::Append)
        return true;
    if (m_resumeOffset == 0) {
        m_total = header("Content-Length").toLongLong();
        if (m_total <= 0)
            m_total = -1;
        m_validator = rangeValidator(header("ETag"), header("Last-Modified"));
    } else {
        logLine(QStringLiteral("%1 download resumed at %2 bytes from %3")
                    .arg(m_job.version)
                    .arg(m_resumeOffset)
                    .arg(escapedServerText(m_reply->url().host())));
    }
    return true;
}

// The package reply's own value of a header, without what a redirect before it left.
QByteArray PackageDownload::header(const QByteArray& name) const
{
    return finalHeaderValue(name, m_reply->rawHeader(name));
}

PackageDownload::Outcome PackageDownload::finish()
{
    m_file->flush();
    Outcome outcome;
    const QString cause = failure();
    if (!cause.isEmpty() && retry(&outcome))
        return outcome;
    m_file->close();
    if (!cause.isEmpty()) {
        outcome.cause = cause;
        return outcome;
    }
    if (m_job.hash)
        m_digest = m_hasher.takeDigest();
    outcome.next = Outcome::Complete;
    return outcome;
}

// Why the transfer is not complete; empty when it is. The transfers cut short on purpose
// come first: their reply reports only the abort.
QString PackageDownload::failure() const
{
    const QString& version = m_job.version;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_overLimit)
        return QStringLiteral("%1 download failed: larger than %2 bytes")
            .arg(version)
            .arg(m_job.limitBytes);
    if (m_writeFailed || m_file->error() != QFileDevice::NoError)
        return QStringLiteral("%1 download failed: cannot write %2")
            .arg(version, m_file->fileName());
    if (m_rangeRefused)
        return QStringLiteral("%1 download failed: the server's bytes do not continue the "
                              "package (Content-Range: %2)")
            .arg(version,
                escapedServerText(QString::fromLatin1(m_reply->rawHeader("Content-Range"))));
    if (m_reply->error() != QNetworkReply::NoError)
        return QStringLiteral("%1 download failed: error %2 %3")
            .arg(version, QString::number(int(m_reply->error())),
                escapedServerText(m_reply->errorString()));
    if (status != 200 && status != 206)
        return QStringLiteral("%1 download failed: HTTP status %2").arg(version).arg(status);
    // Whatever the reply says: a package shorter than announced is not complete.
    if (endedShort())
        return QStringLiteral("%1 download failed: ended at %2 of %3 bytes")
            .arg(version)
            .arg(m_file->size())
            .arg(m_total);
    return QString();
}

// The reply ended without an error, but fewer bytes are on disk than first announced.
bool PackageDownload::endedShort() const { return m_total > 0 && m_file->size() < m_total; }

// After a failed transfer: true when the package is to be asked for again.
bool PackageDownload::retry(Outcome* outcome)
{
    if (m_overLimit || m_writeFailed || m_file->error() != QFileDevice::NoError)
        return false;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    ReplyEnding ending
        = m_rangeRefused ? ReplyEnding::Mismatch : classifyReply(m_reply->error(), status);
    if (ending == ReplyEnding::Done && endedShort())
        ending = ReplyEnding::Transient;
    const qint64 onDisk = m_file->size();
    if (ending == ReplyEnding::Mismatch) {
        if (m_restarted)
            return false;
        logLine(QStringLiteral("%1 download starts again from 0: %2")
                    .arg(m_job.version, interruptionReason()));
        m_restarted = true;
        restartFromZero();
        *outcome = { Outcome::AskAgain, 0, QString() };
        return true;
    }
    if (ending != ReplyEnding::Transient)
        return false;
    // Nothing on disk yet: this server is given up at once.
    if (onDisk == 0)
        return nextServer(outcome);
    const int delay
        = m_retryBudget.afterFailure(onDisk, m_total, m_reply->rawHeader("Retry-After"));
    // Without a validator a range could splice two versions: the bytes on disk go, once.
    if (delay < 0 || (m_validator.isEmpty() && m_restarted))
        return nextServer(outcome);
    logLine(QStringLiteral("%1 download interrupted at %2 of %3 bytes: %4; retrying in %5 s")
                .arg(m_job.version)
                .arg(onDisk)
                .arg(m_total)
                .arg(interruptionReason())
                .arg(delay));
    if (m_validator.isEmpty()) {
        m_restarted = true;
        restartFromZero();
    }
    *outcome = { Outcome::AskAgain, delay, QString() };
    return true;
}

// The package's server is given up: true when the package goes to the next one listed,
// which continues the bytes on disk only if it names the same validator.
bool PackageDownload::nextServer(Outcome* outcome)
{
    if (m_server + 1 >= m_job.urls.size())
        return false;
    const QString failed = m_url.host();
    ++m_server;
    m_url = QUrl(m_job.urls.at(m_server));
    logLine(QStringLiteral("%1 package server %2 given up at %3 bytes: %4; trying %5")
                .arg(m_job.version, escapedServerText(failed))
                .arg(m_file->size())
                .arg(interruptionReason(), escapedServerText(m_url.host())));
    m_retryBudget.reset(m_file->size());
    m_restarted = false;
    *outcome = { Outcome::AskAgain, 0, QString() };
    return true;
}

QString PackageDownload::interruptionReason() const
{
    if (m_rangeRefused)
        return QStringLiteral("Content-Range %1 does not continue the package")
            .arg(escapedServerText(QString::fromLatin1(m_reply->rawHeader("Content-Range"))));
    return interruptionText(m_reply);
}

// The bytes on disk go; with hashing the hash starts again with them.
void PackageDownload::restartFromZero()
{
    m_file->resize(0);
    m_file->seek(0);
    m_resumeOffset = 0;
    m_retryBudget.bytesDropped();
    m_total = -1;
    m_validator.clear();
    m_hasher.takeDigest();
}

void PackageDownload::keepUnfinished(const QString& appDir, int packageType)
{
    if (m_overLimit || m_writeFailed || m_rangeRefused || m_file->size() == 0)
        return;
    // Complete already: the run ended while its signature was fetched.
    if (m_total > 0 && m_file->size() >= m_total)
        return;
    KeptPartial kept = keptRecord(packageType);
    m_file->close();
    const QString failure = kept.isValid()
        ? keepPartial(appDir, QFileInfo(m_file->fileName()).absoluteFilePath(), kept)
        : QStringLiteral("the server named no ETag, Last-Modified or length");
    if (failure.isEmpty())
        logLine(QStringLiteral("%1 download kept for the next run at %2 of %3 bytes")
                    .arg(kept.version)
                    .arg(kept.size)
                    .arg(kept.total));
    else
        logLine(QStringLiteral("%1 download not kept: %2").arg(kept.version, failure));
}

void PackageDownload::keepWhole(const QString& appDir, int packageType)
{
    m_file->close();
    KeptPartial kept = keptRecord(packageType);
    kept.whole = true;
    kept.total = kept.size;
    const QString failure
        = keepPartial(appDir, QFileInfo(m_file->fileName()).absoluteFilePath(), kept);
    if (failure.isEmpty())
        logLine(QStringLiteral("%1 package kept for the next run: %2 bytes")
                    .arg(kept.version)
                    .arg(kept.size));
    else
        logLine(QStringLiteral("%1 package not kept: %2").arg(kept.version, failure));
}

KeptPartial PackageDownload::keptRecord(int packageType) const
{
    KeptPartial kept;
    kept.packageType = packageType;
    kept.version = m_job.version;
    kept.url = m_url.toString(QUrl::FullyEncoded);
    kept.validator = m_validator;
    kept.total = m_total;
    kept.size = m_file->size();
    return kept;
}
