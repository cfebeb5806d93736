#include "resume.h"

#include "debugtext.h"

#include <QList>

ReplyEnding classifyReply(QNetworkReply::NetworkError error, int httpStatus)
{
    static const QList<int> busyStatuses = { 408, 429, 502, 503, 504 };
    if (busyStatuses.contains(httpStatus))
        return ReplyEnding::Transient;
    if (httpStatus == 416)
        return ReplyEnding::Mismatch;
    if (httpStatus >= 400)
        return ReplyEnding::Permanent;
    switch (error) {
    case QNetworkReply::NoError:
        return httpStatus == 200 || httpStatus == 206 ? ReplyEnding::Done : ReplyEnding::Permanent;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    // Qt cannot tell a temporary name-resolution failure from a missing name; the budget
    // keeps a missing one short.
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    // The transfer timeout (the inactivity limit) ends a reply with this.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownNetworkError:
        return ReplyEnding::Transient;
    default:
        return ReplyEnding::Permanent;
    }
}

BodyUse bodyUse(int httpStatus, const QByteArray& contentRange, qint64 offset, qint64 knownTotal)
{
    if (httpStatus == 200)
        return offset > 0 ? BodyUse::Restart : BodyUse::Append;
    if (httpStatus == 206) {
        const ContentRange range = parseContentRange(contentRange);
        const bool fits = offset > 0 && range.first == offset && knownTotal > 0
            && range.total == knownTotal && range.last == knownTotal - 1;
        return fits ? BodyUse::Append : BodyUse::Refuse;
    }
    return BodyUse::Discard;
}

static qint64 number(const QByteArray& text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok && value >= 0 && !text.startsWith('+') ? value : -1;
}

ContentRange parseContentRange(const QByteArray& header)
{
    const QByteArray text = header.trimmed();
    if (!text.startsWith("bytes "))
        return {};
    const QByteArray rangeText = text.mid(6).trimmed();
    const int dash = rangeText.indexOf('-');
    const int slash = rangeText.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return {};
    ContentRange range;
    range.first = number(rangeText.left(dash));
    range.last = number(rangeText.mid(dash + 1, slash - dash - 1));
    const QByteArray total = rangeText.mid(slash + 1);
    range.total = total == "*" ? -1 : number(total);
    if (range.first < 0 || range.last < range.first || (total != "*" && range.total < 0)
        || (range.total >= 0 && range.last >= range.total))
        return {};
    return range;
}

QByteArray rangeValidator(const QByteArray& etag, const QByteArray& lastModified)
{
    const QByteArray tag = etag.trimmed();
    // A weak ETag may not be used with If-Range.
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return lastModified.trimmed();
}

// The last entity tag of "a, b": from its closing quote back to the opening one (and a weak
// prefix); the value as it is when it does not end in a quoted tag.
static QByteArray lastEntityTag(const QByteArray& value)
{
    if (value.size() < 2 || !value.endsWith('"'))
        return value;
    const int open = value.lastIndexOf('"', value.size() - 2);
    if (open < 0)
        return value;
    const bool weak = open >= 2 && value.mid(open - 2, 2) == "W/";
    return value.mid(weak ? open - 2 : open);
}

QByteArray finalHeaderValue(const QByteArray& name, const QByteArray& joined)
{
    const QByteArray value = joined.trimmed();
    const QByteArray key = name.toLower();
    if (key == "content-length")
        return value.mid(value.lastIndexOf(',') + 1).trimmed();
    if (key == "etag")
        return lastEntityTag(value);
    // An HTTP date has a fixed length of 29 ("Sun, 06 Nov 1994 08:49:37 GMT").
    if (key == "last-modified" && value.size() > 29 && value.at(value.size() - 30) == ' ')
        return value.right(29);
    return value;
}

QString interruptionText(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400)
        return QStringLiteral("HTTP status %1").arg(status);
    if (reply->error() == QNetworkReply::NoError)
        return QStringLiteral("the transfer ended early");
    return QStringLiteral("error %1 %2")
        .arg(QString::number(int(reply->error())), escapedServerText(reply->errorString()));
}

int retryDelaySeconds(int failuresInRow, const QByteArray& retryAfter)
{
    const int backoff = failuresInRow <= 0 ? 0 : 1 << qBound(0, failuresInRow - 1, 3);
    const qint64 asked = number(retryAfter.trimmed());
    return asked < 0 ? backoff : qMax(backoff, int(qMin<qint64>(asked, 30)));
}

bool madeProgress(qint64 before, qint64 after, qint64 total)
{
    const qint64 enough = total > 0 ? qMin(progressStep, total / 100) : progressStep;
    return after - before >= qMax<qint64>(enough, 1);
}

int RetryBudget::nextDelay(bool progressed, const QByteArray& retryAfter)
{
    // A link that drops every few megabytes costs no waiting: the rest is asked for at once,
    // unless the server asked for a pause. Only attempts that bring nothing back off.
    if (progressed)
        failuresInRow = 0;
    else
        ++failuresInRow;
    if (failuresInRow >= attemptsWithoutProgress)
        return -1;
    const int delay = retryDelaySeconds(failuresInRow, retryAfter);
    if (waitedSeconds + delay > totalWaitSeconds)
        return -1;
    waitedSeconds += delay;
    return delay;
}

int RetryBudget::afterFailure(qint64 onDisk, qint64 total, const QByteArray& retryAfter)
{
    // Small gains add up until they count as progress.
    const bool progressed = madeProgress(bytesAtProgress, onDisk, total);
    if (progressed)
        bytesAtProgress = onDisk;
    return nextDelay(progressed, retryAfter);
}

void RetryBudget::reset(qint64 onDisk)
{
    failuresInRow = 0;
    waitedSeconds = 0;
    bytesAtProgress = onDisk;
}
