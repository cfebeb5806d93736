#ifndef RESUME_H
#define RESUME_H

#include <QByteArray>
#include <QNetworkReply>
#include <QtGlobal>

// Decisions for resuming a package download after the link let it down. Pure functions: the
// dialog asks, and acts on the answers.

// How a finished package reply ended.
enum class ReplyEnding {
    Done, // the whole body arrived
    Transient, // the link or an overloaded server: worth asking again for the rest
    Permanent, // the server said no; asking this server again will not help
    Mismatch, // the bytes on disk no longer fit the package on the server (416)
};
ReplyEnding classifyReply(QNetworkReply::NetworkError error, int httpStatus);

// What to do with the body of a reply, decided from its head before any byte is written.
enum class BodyUse {
    Append, // continues the bytes on disk (or starts an empty file)
    Restart, // the whole package: the bytes on disk go, this body starts it from 0
    Refuse, // a range that does not fit: never spliced
    Discard, // an error page: not part of the package
};
// `offset` is the bytes on disk the request asked to continue from (0: no range asked);
// `knownTotal` the package's length as first announced (-1: not known).
BodyUse bodyUse(int httpStatus, const QByteArray& contentRange, qint64 offset, qint64 knownTotal);

// "bytes A-B/T" as sent with a 206; all -1 when it is anything else. T is -1 for "*".
struct ContentRange {
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};
ContentRange parseContentRange(const QByteArray& header);

// What If-Range carries: a strong ETag, else Last-Modified; empty when neither (then a range
// request could splice two versions, so none is sent).
QByteArray rangeValidator(const QByteArray& etag, const QByteArray& lastModified);

// Qt 5.15 now and then keeps the headers of a redirect beside those of the reply it led to,
// each header's values joined as "redirect's, reply's". The reply's own value of `name` in
// `joined`: the last number of a Content-Length, the last entity tag of an ETag, the last
// date of a Last-Modified; other headers as they are.
QByteArray finalHeaderValue(const QByteArray& name, const QByteArray& joined);

// Why a reply ended early, for the log: its HTTP status, or Qt's error with the server's
// text escaped; "the transfer ended early" when neither tells.
QString interruptionText(const QNetworkReply* reply);

// Seconds before the attempt after `failuresInRow` failures without progress (0 right after
// an attempt that made progress, then 1, 2, 4, 8, 8 ...), at least a Retry-After in seconds
// up to 30.
int retryDelaySeconds(int failuresInRow, const QByteArray& retryAfter);

// Whether an attempt that took the bytes on disk from `before` to `after` made progress: at
// least 1 MiB, or 1 % of a smaller package's `total` (-1: not known). A server that sends a
// few bytes per connection is not let to go on for ever.
constexpr qint64 progressStep = 1024 * 1024;
bool madeProgress(qint64 before, qint64 after, qint64 total);

// How long one package may keep one server trying.
class RetryBudget {
public:
    static constexpr int attemptsWithoutProgress = 5;
    static constexpr int totalWaitSeconds = 120;

    // After a transient failure: the seconds to wait before asking again, or -1 when the
    // server is given up. `progressed`: the failed attempt brought new bytes.
    int nextDelay(bool progressed, const QByteArray& retryAfter);
    // The same for a transfer that has `onDisk` of its `total` bytes (-1: not known): it
    // made progress when it gained enough since the last failure that did. Shared by every
    // transfer that resumes, so all of them keep a server trying alike.
    int afterFailure(qint64 onDisk, qint64 total, const QByteArray& retryAfter);
    // A new transfer, or a new server, that starts from `onDisk` bytes.
    void reset(qint64 onDisk = 0);
    // The bytes on disk were dropped: progress counts from 0 again, the budget spent stays.
    void bytesDropped() { bytesAtProgress = 0; }

private:
    int failuresInRow = 0;
    int waitedSeconds = 0;
    qint64 bytesAtProgress = 0;
};

#endif // RESUME_H
