// The real updater against a package server whose link drops, stalls or whose answers to a
// range do not fit: the package is asked for again from the bytes on disk and installed whole,
// never spliced from two versions.

#include "appdir.h"
#include "faultserver.h"
#include "files.h"
#include "release.h"
#include "reliability.h"

#include <QtTest>

namespace {

const int limitMs = 800; // Server/TimeoutMs of every run
const int packageBytes = 4 * 1024 * 1024;
const QString programQuestion = Release::programVersionPath();
const QString databaseQuestion = Release::databaseVersionPath();
const QString programPackage = Release::programPackagePath();

QByteArray package(quint32 seed)
{
    return archiveBytes({ ZipEntry::file(QStringLiteral("prog.bin"), noise(packageBytes, seed)) });
}

qint64 bytesSent(const FaultServer& server, const QString& path)
{
    qint64 sent = 0;
    for (const FaultServer::Request& request : server.requestsFor(path))
        sent += request.bodyBytesSent;
    return sent;
}

} // namespace

class TestResume : public QObject {
    Q_OBJECT

private slots:
    void packageSurvivesTheLink_data();
    void packageSurvivesTheLink();
};

void TestResume::packageSurvivesTheLink_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>(
        "expectedLines"); // log messages, as regular expressions, in order
    QTest::addColumn<double>("maxSentFactor"); // package bytes sent, as a multiple of the package
    QTest::addColumn<int>("minElapsedMs");

    const QString interrupted = QStringLiteral(
        "^\"1\\.001 download interrupted at %1 of \\d+ bytes: %2; retrying in 1 s\"$");
    const QString resumed
        = QStringLiteral("^\"1\\.001 download resumed at %1 bytes from 127\\.0\\.0\\.1\"$");
    const QString recorded = QStringLiteral("^writeIni Version/PROGRAM .*\"1\\.001\"$");
    const QString again = QStringLiteral("^\"1\\.001 download starts again from 0: %1\"$");

    QTest::newRow("cut every 1 MiB")
        << QStringLiteral("cut every 1 MiB")
        << QStringList { interrupted.arg("1048576", "error 2 .*"), resumed.arg("1048576"),
               interrupted.arg("2097152", "error 2 .*"), resumed.arg("2097152"), recorded }
        << 1.1 << 0;
    QTest::newRow("silent at 30 %")
        << QStringLiteral("silent at 30 %")
        << QStringList { interrupted.arg(QString::number(packageBytes * 3 / 10), "error 5 .*"),
               resumed.arg(QString::number(packageBytes * 3 / 10)), recorded }
        << 1.1 << limitMs;
    QTest::newRow("server ignores Range")
        << QStringLiteral("server ignores Range")
        << QStringList { interrupted.arg("\\d+", "error 2 .*"),
               again.arg("the server sent the whole package"), recorded }
        << 1.4 << 0;
    // The refused 206 still counts: the server hands its whole rest to the socket at once.
    QTest::newRow("206 with a wrong Content-Range")
        << QStringLiteral("206 with a wrong Content-Range")
        << QStringList { interrupted.arg("\\d+", "error 2 .*"),
               again.arg("Content-Range bytes \\d+-\\d+/\\d+ does not continue the package"),
               recorded }
        << 2.2 << 0;
    QTest::newRow("republished between attempts")
        << QStringLiteral("republished between attempts")
        << QStringList { interrupted.arg("\\d+", "error 2 .*"),
               again.arg("the server sent the whole package"), recorded }
        << 1.4 << 0;
}

void TestResume::packageSurvivesTheLink()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, expectedLines);
    QFETCH(double, maxSentFactor);
    QFETCH(int, minElapsedMs);

    AppDir app;
    QVERIFY(app.isValid());
    FaultServer server;
    QVERIFY(server.start());
    server.setBehaviour(programQuestion, FaultServer::ok("1.001"));
    server.setBehaviour(databaseQuestion, FaultServer::ok("1.000"));
    const QByteArray first = package(1);
    QByteArray installed = first;
    const qint64 cut = first.size() * 3 / 10;
    FaultServer::Behaviour standing = FaultServer::rangeable(first);
    if (fault == QLatin1String("cut every 1 MiB")) {
        standing.closeAfterBytes = 1024 * 1024;
    } else if (fault == QLatin1String("silent at 30 %")) {
        standing.stallAtOffset = packageBytes * 3 / 10;
    } else {
        FaultServer::Behaviour firstAnswer = FaultServer::rangeable(first);
        firstAnswer.closeAfterBytes = cut;
        server.queueBehaviour(programPackage, firstAnswer);
        if (fault == QLatin1String("server ignores Range"))
            standing.ranges = false;
        else if (fault == QLatin1String("206 with a wrong Content-Range"))
            standing.wrongContentRange = true;
        else if (fault == QLatin1String("republished between attempts"))
            standing = FaultServer::rangeable(installed = package(2));
    }
    server.setBehaviour(programPackage, standing);
    QVERIFY(app.writeConfig({ { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("Server/ApiUrl"), server.baseUrl() },
        { QStringLiteral("Server/PackageUrl"), server.baseUrl() },
        { QStringLiteral("Server/TimeoutMs"), QString::number(limitMs) } }));

    const UpdaterRun run = app.runUpdater(60000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    int from = 0;
    for (const QString& line : expectedLines) {
        const int at = indexOfMessage(messages.mid(from), line);
        QVERIFY2(at >= 0,
            qPrintable(QStringLiteral("no line matches %1 after line %2 in:\n%3")
                           .arg(line)
                           .arg(from)
                           .arg(messages.join(QLatin1Char('\n')))));
        from += at + 1;
    }
    // Installed whole, from one version of the package.
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("prog.bin"))),
        noise(packageBytes, installed == first ? 1 : 2));
    const qint64 sent = bytesSent(server, programPackage);
    QVERIFY2(sent <= qint64(maxSentFactor * installed.size()),
        qPrintable(
            QStringLiteral("%1 bytes sent for a package of %2").arg(sent).arg(installed.size())));
    QVERIFY2(run.elapsedMs >= minElapsedMs, qPrintable(QString::number(run.elapsedMs)));
    // Every request after the first asked for a range or started over, never anything else.
    QVERIFY(server.requestCount(programPackage) >= 2);
}

QTEST_GUILESS_MAIN(TestResume)
#include "tst_resumedownload.moc"
