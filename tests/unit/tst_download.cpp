// Package download in-process: the progress bar, the local package file in update/ and
// the close button during a transfer. The servers are FaultServers on 127.0.0.1.

#include "dialogfixture.h"
#include "files.h"
#include "release.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>

namespace {

const QString programQuestion = Release::programVersionPath();
const QString programPackage = Release::programPackagePath();
const QString localPackage = QStringLiteral("update/orbelan.zip");

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// Whether the dialog has logged a pause before asking again since pauseLogged was cleared;
// other messages go on to Qt's handler.
bool pauseLogged = false;
QtMessageHandler previousHandler = nullptr;

void noticePause(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("; retrying in ")))
        pauseLogged = true;
    previousHandler(type, context, message);
}

} // namespace

class TestDownload : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void progressBarTakesMaximumBeforeValue_data();
    void progressBarTakesMaximumBeforeValue();
    void progressBarFollowsServerLength_data();
    void progressBarFollowsServerLength();
    void closeButtonDuringTransferQuitsAndKeepsPartialPackage();
    void leftoverPackageIsTruncatedNotAppended();
    void resumedTransferShowsTheWholePackage();
    void closeButtonDuringRetryPauseQuitsAtOnce();
    void percentEncodedFileNameIsStoredDecoded_data();
    void percentEncodedFileNameIsStoredDecoded();

private:
    // The installation is at program 1.000; the server offers 1.001.
    void offerProgramUpdate(const FaultServer::Behaviour& package);
    FaultServer& server() const { return m_fixture.server(); }

    DialogFixture m_fixture;
};

void TestDownload::init() { m_fixture.setUp(); }

void TestDownload::cleanup() { m_fixture.tearDown(); }

void TestDownload::offerProgramUpdate(const FaultServer::Behaviour& package)
{
    server().setBehaviour(programQuestion, FaultServer::ok("1.001", "text/html"));
    server().setBehaviour(programPackage, package);
}

void TestDownload::progressBarTakesMaximumBeforeValue_data()
{
    QTest::addColumn<qint64>("current");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");

    // The form's range is 0..100: a value above it only sticks once the maximum is set.
    QTest::newRow("known total above the form's range")
        << qint64(300) << qint64(1000) << 1000 << 300;
    QTest::newRow("complete") << qint64(1000) << qint64(1000) << 1000 << 1000;
    // Narrowing would show 500 of 1000; halved twice together they fit and show 99 %.
    QTest::newRow("sizes beyond 32 bits are scaled together")
        << (qint64(1) << 32) + 500 << (qint64(1) << 32) + 1000 << (1 << 30) + 250
        << (1 << 30) + 125;
}

void TestDownload::progressBarTakesMaximumBeforeValue()
{
    QFETCH(qint64, current);
    QFETCH(qint64, total);
    QFETCH(int, maximum);
    QFETCH(int, value);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    QCOMPARE(progress->maximum(), 100);
    QVERIFY(QMetaObject::invokeMethod(
        &dialog, "downloadProgress", Q_ARG(qint64, current), Q_ARG(qint64, total)));
    QCOMPARE(progress->maximum(), maximum);
    QCOMPARE(progress->value(), value);
}

void TestDownload::progressBarFollowsServerLength_data()
{
    QTest::addColumn<int>("framing");
    QTest::addColumn<int>("maximum"); // -1: the total is unknown

    QTest::newRow("Content-Length: maximum is the size")
        << int(FaultServer::Framing::ContentLength) << 5000;
    QTest::newRow("no Content-Length: maximum -1")
        << int(FaultServer::Framing::CloseDelimited) << -1;
    QTest::newRow("chunked: maximum -1") << int(FaultServer::Framing::Chunked) << -1;
}

void TestDownload::progressBarFollowsServerLength()
{
    QFETCH(int, framing);
    QFETCH(int, maximum);

    // 600 bytes in one piece after a pause, then nothing more: the bar holds still.
    FaultServer::Behaviour package = FaultServer::trickle(randomBytes(5000), 600, 200);
    package.framing = FaultServer::Framing(framing);
    package.stallAfterBytes = 600;
    offerProgramUpdate(package);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    QTRY_COMPARE(server().requestCount(programPackage), 1);
    QTRY_COMPARE(server().requestsFor(programPackage).first().bodyBytesSent, qint64(600));
    QTRY_COMPARE(progress->maximum(), maximum);
    if (maximum >= 0) {
        QTRY_COMPARE(progress->value(), 600);
    } else {
        // QProgressBar drops any value outside its range -1..-1, so only the range shows.
        QCOMPARE(progress->minimum(), -1);
    }
}

void TestDownload::closeButtonDuringTransferQuitsAndKeepsPartialPackage()
{
    // 40000 bytes at 200 bytes per 40 ms: eight seconds of transfer.
    const QByteArray body = randomBytes(40000);
    offerProgramUpdate(FaultServer::trickle(body, 200, 40));
    const QByteArray configBefore = readFileBytes(QStringLiteral("Config.ini"));

    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    auto* progress = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* close = dialog->findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    QVERIFY(progress && close);
    QTRY_VERIFY(dialog->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(progress->value() >= 1000, 10000);

    QElapsedTimer clock;
    clock.start();
    const int code = runEventLoop(20000, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    const qint64 elapsed = clock.elapsed();
    const qint64 reported = progress->value();
    QCOMPARE(code, 0);
    QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    const FaultServer::Request transfer = server().requestsFor(programPackage).first();
    QVERIFY(!transfer.responseComplete);

    // The entry point destroys the dialog after the loop; then the file is what stays.
    dialog.reset();
    const QByteArray kept = readFileBytes(localPackage);
    QVERIFY2(kept.size() >= reported,
        qPrintable(QStringLiteral("%1 bytes on disk, %2 received").arg(kept.size()).arg(reported)));
    QVERIFY(kept.size() <= transfer.bodyBytesSent);
    QVERIFY(kept.size() < body.size());
    QCOMPARE(kept, body.left(kept.size()));
    // Nothing installed, recorded or handed over.
    QCOMPARE(readFileBytes(QStringLiteral("Config.ini")), configBefore);
    QVERIFY(QFileInfo(QStringLiteral("update")).isDir());
}

void TestDownload::leftoverPackageIsTruncatedNotAppended()
{
    QVERIFY(QDir().mkpath(QStringLiteral("update")));
    const QByteArray leftover(10000, 'X');
    {
        QFile file(localPackage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(leftover), qint64(leftover.size()));
    }
    const QByteArray body = randomBytes(3000);
    FaultServer::Behaviour package = FaultServer::trickle(body, 300, 150);
    package.stallAfterBytes = 300;
    offerProgramUpdate(package);

    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    auto* progress = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    QTRY_COMPARE(progress->value(), 300);
    // While open: whatever has reached the disk is the new package from its first byte.
    const QByteArray whileOpen = readFileBytes(localPackage);
    QVERIFY2(whileOpen.size() <= 300, qPrintable(QString::number(whileOpen.size())));
    QCOMPARE(whileOpen, body.left(whileOpen.size()));

    dialog.reset();
    QCOMPARE(readFileBytes(localPackage), body.left(300));
}

// Cut after half, then asked for the rest: the bar goes on from the half on disk. The rest's
// first bytes come within Qt's first 100 ms, when it reports no progress, and then stall:
// the bar still shows them.
void TestDownload::resumedTransferShowsTheWholePackage()
{
    const QByteArray body = randomBytes(40000);
    FaultServer::Behaviour first = FaultServer::rangeable(body);
    first.closeAfterBytes = 20000;
    FaultServer::Behaviour rest = FaultServer::rangeable(body);
    rest.bytesPerTick = 600;
    rest.intervalMs = 10;
    rest.stallAfterBytes = 600;
    offerProgramUpdate(rest);
    server().queueBehaviour(programPackage, first);

    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    auto* progress = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    QTRY_COMPARE(server().requestCount(programPackage), 2);
    QCOMPARE(server().requestsFor(programPackage).last().headerValues("Range").value(0),
        QByteArray("bytes=20000-"));
    QTRY_COMPARE(progress->value(), 20600);
    QCOMPARE(progress->maximum(), 40000);
    // Closing the file writes out what is buffered: the rest continues the first part.
    dialog.reset();
    QCOMPARE(readFileBytes(localPackage), body.left(20600));
}

void TestDownload::closeButtonDuringRetryPauseQuitsAtOnce()
{
    const QByteArray body = randomBytes(40000);
    FaultServer::Behaviour first = FaultServer::rangeable(body);
    first.closeAfterBytes = 20000;
    // After the cut the rest is asked for at once; this answer brings nothing and asks for
    // a pause.
    FaultServer::Behaviour busy = FaultServer::ok("busy");
    busy.status = 503;
    busy.headers.append(FaultServer::Header("Retry-After", "20"));
    offerProgramUpdate(FaultServer::silent());
    server().queueBehaviour(programPackage, first);
    server().queueBehaviour(programPackage, busy);

    pauseLogged = false;
    previousHandler = qInstallMessageHandler(noticePause);
    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    auto* progress = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* close = dialog->findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    QVERIFY(progress && close);
    QTRY_COMPARE(server().requestCount(programPackage), 2);
    QTRY_VERIFY(pauseLogged);
    qInstallMessageHandler(previousHandler);
    QCOMPARE(progress->value(), 20000);

    QElapsedTimer clock;
    clock.start();
    const int code = runEventLoop(20000, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    QCOMPARE(code, 0);
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    dialog.reset();
    QCOMPARE(server().requestCount(programPackage), 2);
    // With an ETag to continue under, the bytes stay for the next run, out of the download
    // folder.
    QVERIFY(!QFileInfo::exists(localPackage));
    QCOMPARE(readFileBytes(QStringLiteral("updatetarvil.partial")), body.left(20000));
    QVERIFY(QFileInfo::exists(QStringLiteral("updatetarvil.partial.json")));
}

void TestDownload::percentEncodedFileNameIsStoredDecoded_data()
{
    QTest::addColumn<QString>("encodedPath");
    QTest::addColumn<QString>("storedName");

    QTest::newRow("encoded digit") << "/client/dll/v%31.002.zip"
                                   << "v1.002.zip";
    QTest::newRow("encoded space") << "/files/new%20build.zip"
                                   << "new build.zip";
    QTest::newRow("encoded UTF-8") << "/files/%E5%8D%87%E7%BA%A7.zip"
                                   << "升级.zip";
    QTest::newRow("encoding in a directory only") << "/fil%65s/orbelan.zip"
                                                  << "orbelan.zip";
    QTest::newRow("encoded slash splits the name") << "/files/a%2Fb.zip"
                                                   << "b.zip";
    QTest::newRow("plain name") << "/files/orbelan.zip"
                                << "orbelan.zip";
}

void TestDownload::percentEncodedFileNameIsStoredDecoded()
{
    QFETCH(QString, encodedPath);
    QFETCH(QString, storedName);

    const QString decodedPath = QUrl::fromPercentEncoding(encodedPath.toUtf8());
    const QByteArray body = randomBytes(500);
    FaultServer::Behaviour package = FaultServer::trickle(body, 200, 150);
    package.stallAfterBytes = 200;
    server().setBehaviour(decodedPath, package);

    // The program question stays unanswered, so this download is the only one.
    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    dialog->download(server().url(encodedPath));
    const QString stored = QStringLiteral("update/") + storedName;
    QVERIFY2(QFileInfo(stored).isFile(), qPrintable(stored));
    QTRY_COMPARE(server().requestCount(decodedPath), 1);
    QTRY_COMPARE(dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), 200);

    dialog.reset();
    QCOMPARE(readFileBytes(stored), body.left(200));
    // Nothing else landed in update/: the encoded form in particular is not a file.
    QCOMPARE(QDir(QStringLiteral("update")).entryList(QDir::Files | QDir::NoDotAndDotDot),
        QStringList { QFileInfo(stored).fileName() });
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
