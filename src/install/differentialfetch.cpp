#include "differentialfetch.h"

#include "debugtext.h"
#include "indexrecord.h"
#include "request.h"
#include "signature.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>

namespace {

const QString indexSuffix = QStringLiteral(".index");
const QString signatureSuffix = QStringLiteral(".minisig");
const QString rangeFileName = QStringLiteral("orbelan.zip.range");

QString megabytes(qint64 bytes) { return QString::number(double(bytes) / 1e6, 'f', 1); }

int statusOf(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

DifferentialFetch::DifferentialFetch(
    QNetworkAccessManager* manager, const Job& job, QObject* parent)
    : QObject(parent)
    , m_manager(manager)
    , m_job(job)
{
}

DifferentialFetch::~DifferentialFetch()
{
    if (m_reply)
        m_reply->deleteLater();
    removeRangeFile();
}

void DifferentialFetch::start()
{
    get(QUrl(m_job.packageUrl.toString() + indexSuffix), indexFileLimit,
        &DifferentialFetch::indexArrived);
}

// A body kept in memory, cut at `limit` bytes.
void DifferentialFetch::get(const QUrl& url, qint64 limit, void (DifferentialFetch::*done)())
{
    m_body.reset(limit);
    m_reply = m_manager->get(makeRequest(url));
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { m_body.take(m_reply); });
    connect(m_reply, &QNetworkReply::finished, this, done);
}

QString DifferentialFetch::smallBodyFailure(const QString& what) const
{
    if (m_body.overLimit())
        return QStringLiteral("%1 larger than %2 bytes").arg(what).arg(m_body.limit());
    const int status = statusOf(m_reply);
    if (status != 0 && status != 200)
        return QStringLiteral("no %1 (HTTP status %2)").arg(what).arg(status);
    if (m_reply->error() != QNetworkReply::NoError)
        return QStringLiteral("no %1 (error %2)").arg(what).arg(int(m_reply->error()));
    return QString();
}

void DifferentialFetch::indexArrived()
{
    const QString failure = smallBodyFailure(QStringLiteral("index"));
    m_reply->deleteLater();
    m_reply = nullptr;
    if (!failure.isEmpty()) {
        finish(failure);
        return;
    }
    m_indexText = m_body.bytes();
    if (m_job.trustedKeyLines.isEmpty()) {
        useIndex();
        return;
    }
    get(QUrl(m_job.packageUrl.toString() + indexSuffix + signatureSuffix), signatureFileLimit,
        &DifferentialFetch::signatureArrived);
}

void DifferentialFetch::signatureArrived()
{
    QString failure = smallBodyFailure(QStringLiteral("index signature"));
    m_reply->deleteLater();
    m_reply = nullptr;
    if (failure.isEmpty()) {
        const SignedPackage expected { m_job.packageUrl.fileName() + indexSuffix, m_job.version };
        const QString refusal = signatureRefusal(
            m_body.bytes(), packageDigest(m_indexText), m_job.trustedKeyLines, expected);
        if (!refusal.isEmpty())
            failure = QStringLiteral("index signature refused: %1").arg(refusal);
    }
    if (!failure.isEmpty()) {
        finish(failure);
        return;
    }
    useIndex();
}

void DifferentialFetch::useIndex()
{
    const QString refusal = readPackageIndex(m_indexText, &m_index);
    if (!refusal.isEmpty()) {
        finish(QStringLiteral("index refused: %1").arg(refusal));
        return;
    }
    if (m_index.version != m_job.version) {
        finish(QStringLiteral("index of version %1").arg(m_index.version));
        return;
    }
    m_verifiedIndex = m_indexText;
    m_plan = planDifferential(m_index, selectEntries(m_index, m_job.wanted));
    if (m_job.wholeBeyondHalf && !m_plan.wholePackageReason.isEmpty()) {
        finish(m_plan.wholePackageReason);
        return;
    }
    m_rangeFile.setFileName(QDir(m_job.downloadDir).absoluteFilePath(rangeFileName));
    fetchNextRange();
}

void DifferentialFetch::fetchNextRange()
{
    if (m_nextRange == m_plan.ranges.size()) {
        finish(QString());
        return;
    }
    if (!m_rangeFile.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        finish(QStringLiteral("cannot write %1").arg(m_rangeFile.fileName()));
        return;
    }
    m_retry.reset();
    requestRange();
}

// The part of the current range not yet on disk. The index pins the archive's length and
// every record's digest, so bytes from another archive are never installed.
void DifferentialFetch::requestRange()
{
    const FetchRange& range = m_plan.ranges.at(m_nextRange);
    m_rangeFailure.clear();
    m_requestedFrom = range.offset + m_rangeFile.size();
    QNetworkRequest request = makeRequest(m_job.packageUrl);
    // One range per request: many servers and caches answer multi-range requests wrongly.
    request.setRawHeader("Range",
        QStringLiteral("bytes=%1-%2")
            .arg(m_requestedFrom)
            .arg(range.offset + range.length - 1)
            .toLatin1());
    m_reply = m_manager->get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &DifferentialFetch::rangeData);
    connect(m_reply, &QNetworkReply::finished, this, &DifferentialFetch::rangeArrived);
}

// Anything but the one asked-for range of the indexed archive: a whole body (200) would
// fetch the package a second time, so it is cut off at once.
QString DifferentialFetch::rangeStatusFailure() const
{
    const int status = statusOf(m_reply);
    if (status != 206)
        return QStringLiteral("no range answer (HTTP status %1)").arg(status);
    const FetchRange& range = m_plan.ranges.at(m_nextRange);
    const QString expected = QStringLiteral("bytes %1-%2/%3")
                                 .arg(m_requestedFrom)
                                 .arg(range.offset + range.length - 1)
                                 .arg(m_index.archiveLength);
    const QString answered = QString::fromLatin1(m_reply->rawHeader("Content-Range"));
    if (answered != expected)
        return QStringLiteral("range answer \"%1\" instead of \"%2\"").arg(answered, expected);
    return QString();
}

void DifferentialFetch::rangeData()
{
    if (!m_rangeFailure.isEmpty())
        return;
    m_rangeFailure = rangeStatusFailure();
    const qint64 length = m_plan.ranges.at(m_nextRange).length;
    const QByteArray data = m_reply->readAll();
    if (m_rangeFailure.isEmpty() && m_rangeFile.size() + data.size() > length)
        m_rangeFailure = QStringLiteral("range answer longer than %1 bytes").arg(length);
    if (m_rangeFailure.isEmpty() && m_rangeFile.write(data) != data.size())
        m_rangeFailure = QStringLiteral("cannot write %1").arg(m_rangeFile.fileName());
    if (!m_rangeFailure.isEmpty()) {
        m_reply->abort();
        return;
    }
    m_fetched += data.size();
    emit progress(m_fetched, m_plan.fetchBytes);
}

void DifferentialFetch::rangeArrived()
{
    const FetchRange range = m_plan.ranges.at(m_nextRange);
    if (retryRange(range))
        return;
    QString failure = m_rangeFailure;
    if (failure.isEmpty())
        failure = rangeStatusFailure();
    if (failure.isEmpty() && m_reply->error() != QNetworkReply::NoError)
        failure = QStringLiteral("range not fetched (error %1)").arg(int(m_reply->error()));
    if (failure.isEmpty() && m_rangeFile.size() != range.length)
        failure = QStringLiteral("range answer of %1 bytes instead of %2")
                      .arg(m_rangeFile.size())
                      .arg(range.length);
    m_reply->deleteLater();
    m_reply = nullptr;
    if (failure.isEmpty())
        failure = extractRange(range);
    m_rangeFile.close();
    if (!failure.isEmpty()) {
        finish(failure);
        return;
    }
    ++m_nextRange;
    fetchNextRange();
}

// A range cut short by the link or refused by a busy server is asked for again from the
// bytes on disk, with the same backoff and budget as a whole package.
bool DifferentialFetch::retryRange(const FetchRange& range)
{
    const int status = statusOf(m_reply);
    const ReplyEnding ending = classifyReply(m_reply->error(), status);
    const bool busy = status >= 400 && ending == ReplyEnding::Transient;
    const bool linkFailed = m_rangeFailure.isEmpty() && ending == ReplyEnding::Transient;
    const bool cutShort = m_rangeFailure.isEmpty() && ending == ReplyEnding::Done
        && m_rangeFile.size() < range.length;
    if (!busy && !linkFailed && !cutShort)
        return false;
    const int delay
        = m_retry.afterFailure(m_rangeFile.size(), range.length, m_reply->rawHeader("Retry-After"));
    if (delay < 0)
        return false;
    qDebug().noquote() << quoted(
        QStringLiteral("%1 differential interrupted at %2 of %3 bytes: %4; retrying in %5 s")
            .arg(m_job.version)
            .arg(m_fetched)
            .arg(m_plan.fetchBytes)
            .arg(interruptionText(m_reply))
            .arg(delay));
    m_reply->deleteLater();
    m_reply = nullptr;
    QTimer::singleShot(delay * 1000, this, &DifferentialFetch::requestRange);
    return true;
}

QString DifferentialFetch::extractRange(const FetchRange& range)
{
    for (const int i : range.entries) {
        const IndexEntry& entry = m_index.entries.at(i);
        const QString path = QDir(m_job.downloadDir).absoluteFilePath(entry.path);
        QDir().mkpath(QFileInfo(path).path());
        QFile target(path);
        if (!m_rangeFile.seek(entry.offset - range.offset) || !target.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write %1").arg(path);
        const QString problem = extractRecord(&m_rangeFile, entry, &target);
        if (!problem.isEmpty()) {
            target.remove();
            return QStringLiteral("%1: %2").arg(entry.path, problem);
        }
    }
    return QString();
}

void DifferentialFetch::finish(const QString& failure)
{
    m_failure = failure;
    removeRangeFile();
    emit finished();
}

// No range may have been asked for: then there is no file, and Qt would warn of its name.
void DifferentialFetch::removeRangeFile()
{
    if (!m_rangeFile.fileName().isEmpty())
        m_rangeFile.remove();
}

QStringList DifferentialFetch::extracted() const
{
    const QString root = QDir(m_job.downloadDir).absolutePath() + QLatin1Char('/');
    QStringList topLevel;
    QStringList inDirectories;
    QString lastDirectory;
    for (const int i : m_plan.entries) {
        const QString& path = m_index.entries.at(i).path;
        const QString directory = indexDirectory(path);
        if (directory.isEmpty()) {
            topLevel.append(root + path);
            continue;
        }
        if (directory != lastDirectory)
            inDirectories.append(root + directory + QLatin1Char('/'));
        lastDirectory = directory;
        inDirectories.append(root + path);
    }
    return topLevel + inDirectories;
}

QString DifferentialFetch::summary() const
{
    return QStringLiteral("%1 of %2 files, %3 MB of %4 MB")
        .arg(m_plan.entries.size())
        .arg(m_index.entries.size())
        .arg(megabytes(m_plan.fetchBytes), megabytes(m_index.archiveLength));
}
