#ifndef DIFFERENTIALFETCH_H
#define DIFFERENTIALFETCH_H

#include "cappedbody.h"
#include "differential.h"
#include "packageindex.h"
#include "resume.h"

#include <QFile>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches from the program package only the files an installation needs: reads the
// package's index (checked against its signature when keys are trusted), and fetches the
// records of the wanted entries with single-range requests, one at a time, unpacking each
// into the download directory with its digest checked. It installs nothing. Any failure
// ends it with the reason for taking the whole package instead.
class DifferentialFetch : public QObject {
    Q_OBJECT

public:
    struct Job {
        QUrl packageUrl;
        QString version; // the index must describe this version
        QString downloadDir; // absolute
        QStringList trustedKeyLines; // none: the index is used unsigned, like the packages
        std::function<bool(const IndexEntry&)> wanted;
        // Whether wanted files beyond half of the package end the fetch (an update then takes
        // the whole package; a repair, which must install nothing else, fetches them all).
        bool wholeBeyondHalf = true;
    };

    DifferentialFetch(QNetworkAccessManager* manager, const Job& job, QObject* parent = nullptr);
    ~DifferentialFetch() override;

    void start();

    // After finished(): empty when the wanted files are unpacked, otherwise why not.
    QString failure() const { return m_failure; }
    // The unpacked files as the installation rule takes them: the top-level files, then
    // each directory ("<dir>/") followed by its files, as absolute paths.
    QStringList extracted() const;
    // The index, once read and (with trusted keys) verified; empty otherwise.
    QByteArray verifiedIndex() const { return m_verifiedIndex; }
    // "3 of 32 files, 5.1 MB of 121.0 MB"
    QString summary() const;
    int fileCount() const { return m_plan.entries.size(); }

signals:
    void progress(qint64 received, qint64 total);
    void finished();

private:
    void get(const QUrl& url, qint64 limit, void (DifferentialFetch::*done)());
    QString smallBodyFailure(const QString& what) const;
    void indexArrived();
    void signatureArrived();
    void useIndex();
    void fetchNextRange();
    void requestRange();
    bool retryRange(const FetchRange& range);
    void rangeData();
    void rangeArrived();
    QString rangeStatusFailure() const;
    QString extractRange(const FetchRange& range);
    void finish(const QString& failure);
    void removeRangeFile();

    QNetworkAccessManager* m_manager;
    Job m_job;
    QNetworkReply* m_reply = nullptr;
    CappedBody m_body; // the index or its signature
    QByteArray m_indexText;
    QByteArray m_verifiedIndex;
    PackageIndex m_index;
    DifferentialPlan m_plan;
    int m_nextRange = 0;
    qint64 m_fetched = 0;
    QFile m_rangeFile;
    qint64 m_requestedFrom = 0; // the archive offset the current range request starts at
    RetryBudget m_retry;
    QString m_rangeFailure;
    QString m_failure;
};

#endif // DIFFERENTIALFETCH_H
