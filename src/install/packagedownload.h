#ifndef PACKAGEDOWNLOAD_H
#define PACKAGEDOWNLOAD_H

#include "keptpartial.h"
#include "resume.h"
#include "signature.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QUrl>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
template <typename T> class QFutureWatcher;

// One package's transfer into a local file, across as many requests as the link needs: it
// decides from each reply's head whether its body continues the bytes on disk, starts the
// package again or is refused, writes within the size limit, hashes what it writes, and
// after each reply answers what comes next. A transfer that ends early is asked for again
// from the bytes on disk, never spliced: a range reply must continue exactly those bytes of
// the same total length. It installs nothing and shows nothing; the dialog sends the
// requests it forms and waits the pauses it names.
class PackageDownload : public QObject {
    Q_OBJECT

public:
    struct Job {
        QStringList urls; // the package on each listed server
        int server = 0; // the index in `urls` asked first
        QString version; // named in its log lines and reasons
        qint64 limitBytes = 0; // the most bytes the package may take
        bool hash = false; // take the package's digest while it is written
    };

    // What follows a finished reply.
    struct Outcome {
        enum Next {
            Complete, // every byte is on disk; digest() holds its hash
            AskAgain, // send the next request after `delaySeconds` (possibly to another server)
            Failed, // `cause` is the one log line
        };
        Next next = Failed;
        int delaySeconds = 0;
        QString cause;
    };

    // `file` is open for writing, empty or holding bytes kept by an earlier run, and
    // outlives this object.
    PackageDownload(QFile* file, const Job& job, QObject* parent = nullptr);
    ~PackageDownload() override;

    // The bytes in the file are `kept`'s: the transfer continues them under their
    // validator; with hashing they are hashed first on a worker thread. ready() follows.
    void continueKept(const KeptPartial& kept);
    // After ready(): the kept bytes are a whole package, closed and hashed; no request is
    // needed.
    bool isComplete() const { return m_keptWhole; }

    // The package's URL on the server asked now, and that server's index in the job's list.
    QUrl url() const { return m_url; }
    int server() const { return m_server; }

    // Sends the request for what is still missing; the reply is this object's to read.
    QNetworkReply* send(QNetworkAccessManager* manager, const QUrl& url);
    // Takes what the reply has brought. True when the bytes on disk are the package's and
    // its length is known, so the bar can follow them.
    bool receive();
    // The share of the package done when the reply reports `received` of `total` bytes of its
    // own body; false when the body is not part of the package (an error page).
    bool share(qint64 received, qint64 total, qint64* done, qint64* whole) const;
    qint64 bytesOnDisk() const;
    qint64 total() const { return m_total; }
    // After the reply has finished.
    Outcome finish();
    QByteArray digest() const { return m_digest; }

    // The bytes of an unfinished transfer stay for the next run when a range can continue
    // them: a validator and a known length are needed. Closes the file; logs the outcome.
    void keepUnfinished(const QString& appDir, int packageType);
    // A complete package whose installation could not happen now stays whole for the next
    // run, which installs it without downloading it again. Logs the outcome.
    void keepWhole(const QString& appDir, int packageType);

signals:
    // The kept bytes are hashed (or were not to be): the first request can go.
    void ready();

private:
    void settleKept(bool hashed);
    KeptPartial keptRecord(int packageType) const;
    bool decideBody();
    QByteArray header(const QByteArray& name) const;
    QString failure() const;
    bool endedShort() const;
    bool retry(Outcome* outcome);
    bool nextServer(Outcome* outcome);
    QString interruptionReason() const;
    void restartFromZero();
    void logLine(const QString& text) const;

    QFile* m_file;
    Job m_job;
    QUrl m_url;
    int m_server;
    QNetworkReply* m_reply = nullptr;
    // The package's length and validator as first announced.
    qint64 m_total = -1;
    QByteArray m_validator;
    // The bytes on disk the current request continues, and what became of its body.
    qint64 m_resumeOffset = 0;
    bool m_bodyDecided = false;
    BodyUse m_bodyUse = BodyUse::Append;
    bool m_rangeRefused = false;
    bool m_overLimit = false;
    bool m_writeFailed = false;
    // Started again from 0 once already: a second mismatch fails the package.
    bool m_restarted = false;
    RetryBudget m_retryBudget;
    PackageHasher m_hasher;
    QByteArray m_digest;
    QFutureWatcher<bool>* m_keptHashing = nullptr;
    bool m_keptWhole = false;
};

#endif // PACKAGEDOWNLOAD_H
