// One package's transfer on its own, without a window: what it answers after each reply
// (complete, ask again, another server, failed), what it leaves on disk, and that a transfer
// resumed across replies is one package with one digest.

#include "faultserver.h"
#include "files.h"
#include "keptpartial.h"
#include "packagedownload.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString packagePath = QStringLiteral("/client/dll/v1.001.zip");
const QString mirrorPath = QStringLiteral("/mirror/v1.001.zip");

QByteArray packageBytes()
{
    QByteArray bytes(2000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7919) >> 3);
    return bytes;
}

} // namespace

using Next = PackageDownload::Outcome::Next;
Q_DECLARE_METATYPE(FaultServer::Behaviour)
Q_DECLARE_METATYPE(Next)

class TestPackageDownload : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstReplyDecidesWhatFollows_data();
    void firstReplyDecidesWhatFollows();
    void transferCutShortResumesIntoOnePackage();
    void mismatchedRangeStartsAgainOnceThenFails();
    void unfinishedBytesAreKeptWithTheirValidator();
    void packageKeptWholeIsCompleteWithoutARequest();

private:
    std::unique_ptr<PackageDownload> makeDownload(int servers = 1, qint64 limit = 1 << 20);
    // Sends one request for the transfer's current URL and answers what follows it.
    PackageDownload::Outcome attempt(PackageDownload& download);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FaultServer> server;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<QFile> file;
};

void TestPackageDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    server = std::make_unique<FaultServer>();
    QVERIFY(server->start());
    manager = std::make_unique<QNetworkAccessManager>();
    file = std::make_unique<QFile>(dir->filePath(QStringLiteral("v1.001.zip")));
    QVERIFY(file->open(QIODevice::ReadWrite));
}

void TestPackageDownload::cleanup()
{
    file.reset();
    manager.reset();
    server.reset();
    dir.reset();
}

std::unique_ptr<PackageDownload> TestPackageDownload::makeDownload(int servers, qint64 limit)
{
    PackageDownload::Job job;
    job.urls = QStringList { server->url(packagePath), server->url(mirrorPath) }.mid(0, servers);
    job.version = QStringLiteral("1.001");
    job.limitBytes = limit;
    job.hash = true;
    return std::make_unique<PackageDownload>(file.get(), job);
}

PackageDownload::Outcome TestPackageDownload::attempt(PackageDownload& download)
{
    QNetworkReply* reply = download.send(manager.get(), download.url());
    QSignalSpy finished(reply, &QNetworkReply::finished);
    connect(reply, &QNetworkReply::readyRead, &download, [&download] { download.receive(); });
    if (!reply->isFinished())
        [&] { QVERIFY(finished.wait(10000)); }();
    const PackageDownload::Outcome outcome = download.finish();
    reply->deleteLater();
    return outcome;
}

void TestPackageDownload::firstReplyDecidesWhatFollows_data()
{
    QTest::addColumn<FaultServer::Behaviour>("answer");
    QTest::addColumn<int>("servers");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<Next>("next");
    QTest::addColumn<int>("server"); // the server asked next
    QTest::addColumn<qint64>("onDisk");
    QTest::addColumn<QString>("cause"); // a prefix

    const QByteArray body = packageBytes();
    FaultServer::Behaviour cut = FaultServer::rangeable(body);
    cut.closeAfterBytes = 600;
    const qint64 mib = 1 << 20;
    FaultServer::Behaviour busy = FaultServer::serverError("<html>busy</html>");
    busy.status = 503;

    QTest::newRow("whole package") << FaultServer::ok(body) << 1 << mib << Next::Complete << 0
                                   << qint64(body.size()) << QString();
    QTest::newRow("cut short, with a validator: the rest is asked for at once")
        << cut << 1 << mib << Next::AskAgain << 0 << qint64(600) << QString();
    // A range without a validator could splice two versions.
    QTest::newRow("cut short, without a validator: the bytes go") << FaultServer::closeAfter(
        body, 600) << 1 << mib << Next::AskAgain << 0 << qint64(0) << QString();
    QTest::newRow("not found") << FaultServer::notFound() << 2 << mib << Next::Failed << 0
                               << qint64(0) << "1.001 download failed: error 203 ";
    QTest::newRow("busy with nothing on disk: the next server")
        << busy << 2 << mib << Next::AskAgain << 1 << qint64(0) << QString();
    QTest::newRow("busy, no other server") << busy << 1 << mib << Next::Failed << 0 << qint64(0)
                                           << "1.001 download failed: error 403 ";
    QTest::newRow("server error: not asked again")
        << FaultServer::serverError("<html>broken</html>") << 2 << mib << Next::Failed << 0
        << qint64(0) << "1.001 download failed: error 401 ";
    QTest::newRow("larger than the limit")
        << FaultServer::ok(body) << 2 << qint64(1000) << Next::Failed << 0 << qint64(0)
        << "1.001 download failed: larger than 1000 bytes";
}

void TestPackageDownload::firstReplyDecidesWhatFollows()
{
    QFETCH(FaultServer::Behaviour, answer);
    QFETCH(int, servers);
    QFETCH(qint64, limit);
    QFETCH(Next, next);
    QFETCH(int, server);
    QFETCH(qint64, onDisk);
    QFETCH(QString, cause);

    this->server->setBehaviour(packagePath, answer);
    const auto download = makeDownload(servers, limit);
    const PackageDownload::Outcome outcome = attempt(*download);
    QCOMPARE(outcome.next, next);
    QCOMPARE(outcome.delaySeconds, 0);
    QVERIFY2(outcome.cause.startsWith(cause), qPrintable(outcome.cause));
    QCOMPARE(outcome.cause.isEmpty(), cause.isEmpty());
    QCOMPARE(download->server(), server);
    QCOMPARE(download->url().path(), server == 0 ? packagePath : mirrorPath);
    QCOMPARE(file->size(), onDisk);
    if (next == Next::Complete) {
        QCOMPARE(readFileBytes(file->fileName()), packageBytes());
        QCOMPARE(download->digest(), packageDigest(packageBytes()));
    }
}

// The second request continues the bytes on disk under the first reply's validator, and the
// digest covers the package across both replies.
void TestPackageDownload::transferCutShortResumesIntoOnePackage()
{
    const QByteArray body = packageBytes();
    FaultServer::Behaviour cut = FaultServer::rangeable(body);
    cut.closeAfterBytes = 600;
    server->queueBehaviour(packagePath, cut);
    server->setBehaviour(packagePath, FaultServer::rangeable(body));
    const auto download = makeDownload();

    QCOMPARE(attempt(*download).next, Next::AskAgain);
    QCOMPARE(attempt(*download).next, Next::Complete);
    const FaultServer::Request second = server->requestsFor(packagePath).at(1);
    QCOMPARE(second.headerValues("Range"), QList<QByteArray> { "bytes=600-" });
    // No content coding: a compressing CDN would answer a range with the whole file.
    for (const FaultServer::Request& request : server->requestsFor(packagePath))
        QCOMPARE(request.headerValues("Accept-Encoding"), QList<QByteArray> { "identity" });
    QCOMPARE(second.headerValues("If-Range"), QList<QByteArray> { cut.etag });
    QCOMPARE(readFileBytes(file->fileName()), body);
    QCOMPARE(download->digest(), packageDigest(body));
}

// A range answered from another offset is never spliced: the package starts again from 0
// once, and a second mismatch fails it.
void TestPackageDownload::mismatchedRangeStartsAgainOnceThenFails()
{
    const QByteArray body = packageBytes();
    FaultServer::Behaviour cut = FaultServer::rangeable(body);
    cut.closeAfterBytes = 600;
    FaultServer::Behaviour wrong = FaultServer::rangeable(body);
    wrong.wrongContentRange = true;
    server->queueBehaviour(packagePath, cut);
    server->setBehaviour(packagePath, wrong);
    const auto download = makeDownload();

    QCOMPARE(attempt(*download).next, Next::AskAgain);
    const PackageDownload::Outcome restart = attempt(*download);
    QCOMPARE(restart.next, Next::AskAgain);
    QCOMPARE(file->size(), qint64(0));
    // From 0 the whole body comes; cut again, its rest is answered from the wrong offset.
    server->queueBehaviour(packagePath, cut);
    QCOMPARE(attempt(*download).next, Next::AskAgain);
    const PackageDownload::Outcome failed = attempt(*download);
    QCOMPARE(failed.next, Next::Failed);
    QVERIFY2(failed.cause.startsWith(
                 QStringLiteral("1.001 download failed: the server's bytes do not continue")),
        qPrintable(failed.cause));
}

void TestPackageDownload::unfinishedBytesAreKeptWithTheirValidator()
{
    const QByteArray body = packageBytes();
    FaultServer::Behaviour cut = FaultServer::rangeable(body);
    cut.closeAfterBytes = 600;
    server->setBehaviour(packagePath, cut);
    const auto download = makeDownload();
    QCOMPARE(attempt(*download).next, Next::AskAgain);

    download->keepUnfinished(dir->path(), 1);
    const KeptPartial kept = readKeptPartial(dir->path());
    QVERIFY(kept.isFor(1, QStringLiteral("1.001")));
    QCOMPARE(kept.size, qint64(600));
    QCOMPARE(kept.total, qint64(body.size()));
    QCOMPARE(kept.validator, cut.etag);
    QCOMPARE(kept.url, server->url(packagePath));
    QVERIFY(!QFile::exists(file->fileName()));
}

// A verified package that was not installed is kept whole; the next run's transfer takes it
// back, hashes it and is complete without asking the server for anything.
void TestPackageDownload::packageKeptWholeIsCompleteWithoutARequest()
{
    const QByteArray body = packageBytes();
    server->setBehaviour(packagePath, FaultServer::rangeable(body));
    const auto download = makeDownload();
    QCOMPARE(attempt(*download).next, Next::Complete);
    download->keepWhole(dir->path(), 1);
    QVERIFY(!QFile::exists(file->fileName()));
    const KeptPartial kept = readKeptPartial(dir->path());
    QVERIFY(kept.isFor(1, QStringLiteral("1.001")));
    QVERIFY(kept.whole);
    QCOMPARE(kept.size, qint64(body.size()));
    const int requests = server->requestsFor(packagePath).size();

    QVERIFY(takeKeptPartial(dir->path(), file->fileName()));
    QVERIFY(file->open(QIODevice::ReadWrite));
    const auto next = makeDownload();
    QSignalSpy ready(next.get(), &PackageDownload::ready);
    next->continueKept(kept);
    QVERIFY(ready.count() == 1 || ready.wait(10000));
    QVERIFY(next->isComplete());
    QCOMPARE(next->digest(), packageDigest(body));
    QCOMPARE(server->requestsFor(packagePath).size(), requests);
    QCOMPARE(readFileBytes(file->fileName()), body);
}

QTEST_GUILESS_MAIN(TestPackageDownload)
#include "tst_packagedownload.moc"
