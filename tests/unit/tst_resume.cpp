// Resume decisions: how a package reply ended, which bodies may continue the bytes on disk,
// the If-Range validator and how long one server is kept trying.
#include "resume.h"

#include <QtTest>

Q_DECLARE_METATYPE(ReplyEnding)
Q_DECLARE_METATYPE(BodyUse)

static constexpr qint64 total = 4 * 1024 * 1024;

class ResumeTest : public QObject {
    Q_OBJECT

private slots:
    void endingIsClassified_data();
    void endingIsClassified();
    void bodyFitsTheBytesOnDisk_data();
    void bodyFitsTheBytesOnDisk();
    void contentRangeIsParsed_data();
    void contentRangeIsParsed();
    void validatorPrefersAStrongETag_data();
    void validatorPrefersAStrongETag();
    void redirectHeadersLeftBesideTheReplyAreIgnored_data();
    void redirectHeadersLeftBesideTheReplyAreIgnored();
    void delayBacksOff_data();
    void delayBacksOff();
    void budgetGivesUpWithoutProgress();
    void progressKeepsTheServer();
    void waitingIsBoundedInTotal();
    void smallGainsAddUpToProgress();
    void droppedBytesKeepTheBudgetSpent();
    void progressMeansAMegabyteOrOnePercent_data();
    void progressMeansAMegabyteOrOnePercent();
};

void ResumeTest::endingIsClassified_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<ReplyEnding>("ending");

    QTest::newRow("whole body") << int(QNetworkReply::NoError) << 200 << ReplyEnding::Done;
    QTest::newRow("rest of it") << int(QNetworkReply::NoError) << 206 << ReplyEnding::Done;
    QTest::newRow("refused") << int(QNetworkReply::ConnectionRefusedError) << 0
                             << ReplyEnding::Transient;
    QTest::newRow("closed early") << int(QNetworkReply::RemoteHostClosedError) << 200
                                  << ReplyEnding::Transient;
    QTest::newRow("inactivity limit")
        << int(QNetworkReply::OperationCanceledError) << 206 << ReplyEnding::Transient;
    QTest::newRow("timeout") << int(QNetworkReply::TimeoutError) << 0 << ReplyEnding::Transient;
    QTest::newRow("name lookup") << int(QNetworkReply::HostNotFoundError) << 0
                                 << ReplyEnding::Transient;
    QTest::newRow("network down") << int(QNetworkReply::TemporaryNetworkFailureError) << 0
                                  << ReplyEnding::Transient;
    for (const int status : { 408, 429, 502, 503, 504 })
        QTest::addRow("HTTP %d", status)
            << int(QNetworkReply::UnknownServerError) << status << ReplyEnding::Transient;
    for (const int status : { 400, 403, 404, 410, 500, 501, 505 })
        QTest::addRow("HTTP %d", status)
            << int(QNetworkReply::ContentNotFoundError) << status << ReplyEnding::Permanent;
    QTest::newRow("HTTP 416") << int(QNetworkReply::UnknownContentError) << 416
                              << ReplyEnding::Mismatch;
    QTest::newRow("no error, 204") << int(QNetworkReply::NoError) << 204 << ReplyEnding::Permanent;
    QTest::newRow("TLS handshake")
        << int(QNetworkReply::SslHandshakeFailedError) << 0 << ReplyEnding::Permanent;
    QTest::newRow("protocol") << int(QNetworkReply::ProtocolFailure) << 0 << ReplyEnding::Permanent;
}

void ResumeTest::endingIsClassified()
{
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(ReplyEnding, ending);
    QCOMPARE(classifyReply(QNetworkReply::NetworkError(error), status), ending);
}

void ResumeTest::bodyFitsTheBytesOnDisk_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<BodyUse>("use");

    QTest::newRow("first request") << 200 << QByteArray() << qint64(0) << BodyUse::Append;
    QTest::newRow("range honoured")
        << 206 << QByteArray("bytes 1000-4194303/4194304") << qint64(1000) << BodyUse::Append;
    QTest::newRow("range ignored") << 200 << QByteArray() << qint64(1000) << BodyUse::Restart;
    QTest::newRow("starts elsewhere")
        << 206 << QByteArray("bytes 999-4194303/4194304") << qint64(1000) << BodyUse::Refuse;
    QTest::newRow("other total") << 206 << QByteArray("bytes 1000-4194304/4194305") << qint64(1000)
                                 << BodyUse::Refuse;
    QTest::newRow("stops short") << 206 << QByteArray("bytes 1000-2000/4194304") << qint64(1000)
                                 << BodyUse::Refuse;
    QTest::newRow("unknown total")
        << 206 << QByteArray("bytes 1000-4194303/*") << qint64(1000) << BodyUse::Refuse;
    QTest::newRow("no Content-Range") << 206 << QByteArray() << qint64(1000) << BodyUse::Refuse;
    QTest::newRow("range never asked")
        << 206 << QByteArray("bytes 0-4194303/4194304") << qint64(0) << BodyUse::Refuse;
    QTest::newRow("error page") << 503 << QByteArray() << qint64(1000) << BodyUse::Discard;
    QTest::newRow("not found") << 404 << QByteArray() << qint64(0) << BodyUse::Discard;
}

void ResumeTest::bodyFitsTheBytesOnDisk()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, offset);
    QFETCH(BodyUse, use);
    QCOMPARE(bodyUse(status, contentRange, offset, total), use);
}

void ResumeTest::contentRangeIsParsed_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");

    QTest::newRow("nginx") << QByteArray("bytes 100-199/200") << qint64(100) << qint64(199)
                           << qint64(200);
    QTest::newRow("over 4 GiB") << QByteArray("bytes 5000000000-5999999999/6000000000")
                                << qint64(5000000000) << qint64(5999999999) << qint64(6000000000);
    QTest::newRow("unknown total")
        << QByteArray("bytes 0-9/*") << qint64(0) << qint64(9) << qint64(-1);
    QTest::newRow("unsatisfied") << QByteArray("bytes */200") << qint64(-1) << qint64(-1)
                                 << qint64(-1);
    QTest::newRow("other unit") << QByteArray("items 0-9/10") << qint64(-1) << qint64(-1)
                                << qint64(-1);
    QTest::newRow("last before first")
        << QByteArray("bytes 10-9/200") << qint64(-1) << qint64(-1) << qint64(-1);
    QTest::newRow("past the total")
        << QByteArray("bytes 0-200/200") << qint64(-1) << qint64(-1) << qint64(-1);
    QTest::newRow("negative") << QByteArray("bytes -5-9/200") << qint64(-1) << qint64(-1)
                              << qint64(-1);
    QTest::newRow("signed") << QByteArray("bytes +5-9/200") << qint64(-1) << qint64(-1)
                            << qint64(-1);
    QTest::newRow("garbage total")
        << QByteArray("bytes 0-9/2x0") << qint64(-1) << qint64(-1) << qint64(-1);
    QTest::newRow("empty") << QByteArray() << qint64(-1) << qint64(-1) << qint64(-1);
}

void ResumeTest::contentRangeIsParsed()
{
    QFETCH(QByteArray, header);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, total);
    const ContentRange range = parseContentRange(header);
    QCOMPARE(range.first, first);
    QCOMPARE(range.last, last);
    QCOMPARE(range.total, total);
}

void ResumeTest::validatorPrefersAStrongETag_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("validator");

    const QByteArray date("Wed, 09 Dec 2026 10:00:00 GMT");
    QTest::newRow("ETag") << QByteArray("\"5f3a-400000\"") << date << QByteArray("\"5f3a-400000\"");
    QTest::newRow("weak ETag") << QByteArray("W/\"5f3a\"") << date << date;
    QTest::newRow("no ETag") << QByteArray() << date << date;
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray();
}

void ResumeTest::validatorPrefersAStrongETag()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QByteArray, validator);
    QCOMPARE(rangeValidator(etag, lastModified), validator);
}

void ResumeTest::delayBacksOff_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("seconds");

    QTest::newRow("right after progress") << 0 << QByteArray() << 0;
    QTest::newRow("right after progress, Retry-After 5") << 0 << QByteArray("5") << 5;
    QTest::newRow("first") << 1 << QByteArray() << 1;
    QTest::newRow("second") << 2 << QByteArray() << 2;
    QTest::newRow("third") << 3 << QByteArray() << 4;
    QTest::newRow("fourth") << 4 << QByteArray() << 8;
    QTest::newRow("tenth stays at 8") << 10 << QByteArray() << 8;
    QTest::newRow("Retry-After 5") << 1 << QByteArray("5") << 5;
    QTest::newRow("Retry-After shorter than backoff") << 3 << QByteArray("1") << 4;
    QTest::newRow("Retry-After capped") << 1 << QByteArray("3600") << 30;
    QTest::newRow("Retry-After date") << 2 << QByteArray("Wed, 09 Dec 2026 10:00:00 GMT") << 2;
}

void ResumeTest::delayBacksOff()
{
    QFETCH(int, failures);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, seconds);
    QCOMPARE(retryDelaySeconds(failures, retryAfter), seconds);
}

void ResumeTest::budgetGivesUpWithoutProgress()
{
    RetryBudget budget;
    QList<int> delays;
    for (int i = 0; i < 6; ++i)
        delays << budget.nextDelay(false, QByteArray());
    // Five attempts in all: the first and four more after 1, 2, 4 and 8 s.
    QCOMPARE(delays, (QList<int> { 1, 2, 4, 8, -1, -1 }));
    budget.reset();
    QCOMPARE(budget.nextDelay(false, QByteArray()), 1);
}

void ResumeTest::progressKeepsTheServer()
{
    RetryBudget budget;
    QCOMPARE(budget.nextDelay(false, QByteArray()), 1);
    QCOMPARE(budget.nextDelay(false, QByteArray()), 2);
    // A link that drops every few megabytes: each attempt brings bytes, so it goes on, and
    // at once: waiting would add up over a large package until the budget gave it up.
    for (int i = 0; i < 200; ++i)
        QCOMPARE(budget.nextDelay(true, QByteArray()), 0);
    // After progress the count of attempts without it starts again.
    QCOMPARE(budget.nextDelay(false, QByteArray()), 1);
}

// A server sending a few bytes per connection is given up, yet gains that add up to a
// mebibyte since the last progress count, and a new server starts from its bytes on disk.
void ResumeTest::smallGainsAddUpToProgress()
{
    const qint64 kib = 1024;
    const qint64 unknown = -1; // a mebibyte is progress
    RetryBudget budget;
    QCOMPARE(budget.afterFailure(400 * kib, unknown, QByteArray()), 1);
    QCOMPARE(budget.afterFailure(800 * kib, unknown, QByteArray()), 2);
    QCOMPARE(budget.afterFailure(1100 * kib, unknown, QByteArray()), 0);
    QCOMPARE(budget.afterFailure(1200 * kib, unknown, QByteArray()), 1);
    budget.reset(3 * progressStep);
    QCOMPARE(budget.afterFailure(3 * progressStep + kib, unknown, QByteArray()), 1);
    QCOMPARE(budget.afterFailure(4 * progressStep, unknown, QByteArray()), 0);
}

// Bytes dropped (a package started again from 0) do not buy a fresh budget: a server that
// keeps failing is still given up.
void ResumeTest::droppedBytesKeepTheBudgetSpent()
{
    RetryBudget budget;
    int attempts = 0;
    for (int delay = 0; delay >= 0 && attempts < 100; ++attempts) {
        delay = budget.afterFailure(100, total, QByteArray());
        budget.bytesDropped();
    }
    QCOMPARE(attempts, RetryBudget::attemptsWithoutProgress);
}

void ResumeTest::waitingIsBoundedInTotal()
{
    RetryBudget budget;
    int waited = 0;
    int attempts = 0;
    for (int delay = 0; delay >= 0 && attempts < 1000; ++attempts) {
        delay = budget.nextDelay(true, QByteArray("30"));
        if (delay > 0)
            waited += delay;
    }
    QVERIFY(attempts < 1000);
    QVERIFY2(waited <= RetryBudget::totalWaitSeconds, qPrintable(QString::number(waited)));
    QCOMPARE(waited, 120);
}

// Seen with nginx behind a 302: a package of 136 bytes whose reply read "145, 136", so a
// complete transfer looked cut short and was fetched twice.
void ResumeTest::redirectHeadersLeftBesideTheReplyAreIgnored_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("joined");
    QTest::addColumn<QByteArray>("own");

    QTest::newRow("length alone") << QByteArray("Content-Length") << QByteArray("136")
                                  << QByteArray("136");
    QTest::newRow("length after a redirect's")
        << QByteArray("Content-Length") << QByteArray("145, 136") << QByteArray("136");
    QTest::newRow("entity tag alone")
        << QByteArray("ETag") << QByteArray("\"6b1b-88\"") << QByteArray("\"6b1b-88\"");
    QTest::newRow("entity tag after a redirect's")
        << QByteArray("ETag") << QByteArray("\"a\", \"6b1b-88\"") << QByteArray("\"6b1b-88\"");
    QTest::newRow("weak tag after a strong one")
        << QByteArray("etag") << QByteArray("\"a\", W/\"b\"") << QByteArray("W/\"b\"");
    QTest::newRow("date alone") << QByteArray("Last-Modified")
                                << QByteArray("Fri, 11 Dec 2026 01:16:59 GMT")
                                << QByteArray("Fri, 11 Dec 2026 01:16:59 GMT");
    QTest::newRow("date after a redirect's")
        << QByteArray("Last-Modified")
        << QByteArray("Thu, 10 Dec 2026 09:00:00 GMT, Fri, 11 Dec 2026 01:16:59 GMT")
        << QByteArray("Fri, 11 Dec 2026 01:16:59 GMT");
    QTest::newRow("other headers untouched")
        << QByteArray("Content-Range") << QByteArray("bytes 5-9/10") << QByteArray("bytes 5-9/10");
}

void ResumeTest::redirectHeadersLeftBesideTheReplyAreIgnored()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, joined);
    QFETCH(QByteArray, own);
    QCOMPARE(finalHeaderValue(name, joined), own);
}

void ResumeTest::progressMeansAMegabyteOrOnePercent_data()
{
    QTest::addColumn<qint64>("before");
    QTest::addColumn<qint64>("after");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("progress");

    const qint64 mib = 1024 * 1024;
    QTest::newRow("nothing") << 5 * mib << 5 * mib << 150 * mib << false;
    QTest::newRow("a few bytes of a large package")
        << 5 * mib << 5 * mib + 10 << 150 * mib << false;
    QTest::newRow("one MiB of a large package") << 5 * mib << 6 * mib << 150 * mib << true;
    QTest::newRow("just under one MiB") << 0LL << mib - 1 << 150 * mib << false;
    QTest::newRow("one percent of a small package") << 0LL << 400LL << 40000LL << true;
    QTest::newRow("under one percent of a small package") << 0LL << 399LL << 40000LL << false;
    QTest::newRow("length not known") << 0LL << mib << -1LL << true;
    QTest::newRow("one byte of a tiny package") << 0LL << 1LL << 50LL << true;
}

void ResumeTest::progressMeansAMegabyteOrOnePercent()
{
    QFETCH(qint64, before);
    QFETCH(qint64, after);
    QFETCH(qint64, total);
    QFETCH(bool, progress);
    QCOMPARE(madeProgress(before, after, total), progress);
}

QTEST_APPLESS_MAIN(ResumeTest)
#include "tst_resume.moc"
