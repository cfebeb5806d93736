// A run that ends with part of a package on disk leaves it beside the installation; the next
// run that needs the same package asks only for the rest, and never splices two versions.

#include "appdir.h"
#include "faultserver.h"
#include "files.h"
#include "release.h"
#include "reliability.h"
#include "signing.h"

#include <QtTest>

namespace {

const int limitMs = 800;
const int packageBytes = 4 * 1024 * 1024;
const QString programQuestion = Release::programVersionPath();
const QString databaseQuestion = Release::databaseVersionPath();
const QString programPackage = Release::programPackagePath();
const QString keptBytes = QStringLiteral("updatetarvil.partial");
const QString keptRecord = QStringLiteral("updatetarvil.partial.json");

QByteArray package(quint32 seed)
{
    return archiveBytes({ ZipEntry::file(QStringLiteral("prog.bin"), noise(packageBytes, seed)) });
}

// The package, its signature when `sign`, and the two answers, on `server`.
void serve(FaultServer* server, const QString& version, const FaultServer::Behaviour& answer,
    const QByteArray& signedBytes)
{
    server->setBehaviour(programQuestion, FaultServer::ok(version.toLatin1()));
    server->setBehaviour(databaseQuestion, FaultServer::ok("1.000"));
    server->setBehaviour(programPackage, answer);
    if (signedBytes.isEmpty())
        return;
    QTemporaryDir work;
    const QString file = work.filePath(QStringLiteral("orbelan.zip"));
    QString error;
    if (!writeFileBytes(file, signedBytes)
        || !minisignFile(file, testSigningKey(),
            { packageComment(QStringLiteral("orbelan.zip"), version), false, QString() }, &error))
        QFAIL(qPrintable(QStringLiteral("cannot sign: ") + error));
    server->setBehaviour(programPackage + QStringLiteral(".minisig"),
        FaultServer::ok(readFileBytes(file + QStringLiteral(".minisig"))));
}

QString messagesText(const AppDir& app) { return app.logMessages().join(QLatin1Char('\n')); }

} // namespace

class TestKeptDownload : public QObject {
    Q_OBJECT

private slots:
    void nextRunContinuesOrStartsOver_data();
    void nextRunContinuesOrStartsOver();
};

void TestKeptDownload::nextRunContinuesOrStartsOver_data()
{
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<QString>("secondRun");
    QTest::addColumn<QString>("expectedLine"); // in the second run's log
    QTest::addColumn<QString>("installedVersion"); // empty: nothing installed

    const QString resumed = QStringLiteral("^\"1\\.001 download resumed at \\d+ bytes from "
                                           "127\\.0\\.0\\.1\"$");
    QTest::newRow("same package") << false << QStringLiteral("same package") << resumed
                                  << QStringLiteral("1.001");
    QTest::newRow("republished between runs")
        << false << QStringLiteral("republished")
        << QStringLiteral(
               "^\"1\\.001 download starts again from 0: the server sent the whole package\"$")
        << QStringLiteral("1.001");
    QTest::newRow("no longer needed")
        << false << QStringLiteral("no update")
        << QStringLiteral("^\"1\\.001 kept download dropped: no longer needed\"$") << QString();
    QTest::newRow("another version needed")
        << false << QStringLiteral("newer version")
        << QStringLiteral("^\"1\\.001 kept download dropped: no longer needed\"$")
        << QStringLiteral("1.002");
    QTest::newRow("signed, same package")
        << true << QStringLiteral("same package")
        << QStringLiteral("^\"1\\.001 signature verified\"$") << QStringLiteral("1.001");
    // The rest comes from other bytes under the same ETag: only the hash over the kept bytes
    // and the rest together can tell.
    QTest::newRow("signed, tampered rest")
        << true << QStringLiteral("tampered rest")
        << QStringLiteral("^\"1\\.001 signature refused: .*") << QString();
}

void TestKeptDownload::nextRunContinuesOrStartsOver()
{
    QFETCH(bool, signedBuild);
    QFETCH(QString, secondRun);
    QFETCH(QString, expectedLine);
    QFETCH(QString, installedVersion);

    AppDir app = signedBuild ? AppDir(QStringLiteral(UPDATER_TESTKEY_BINARY)) : AppDir();
    QVERIFY(app.isValid());
    FaultServer server;
    QVERIFY(server.start());
    const QByteArray first = package(1);
    const QByteArray sign = signedBuild ? first : QByteArray();

    // First run: 60 % arrives, then the package is gone from the server.
    FaultServer::Behaviour cut = FaultServer::rangeable(first);
    cut.closeAfterBytes = first.size() * 6 / 10;
    serve(&server, QStringLiteral("1.001"), FaultServer::notFound(), sign);
    server.queueBehaviour(programPackage, cut);
    QVERIFY(app.writeOldInstallationConfig(server.baseUrl(), server.baseUrl(),
        { { QStringLiteral("Server/TimeoutMs"), QString::number(limitMs) } }));
    verifyHandedOverOnce(app, app.runUpdater(60000));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    const qint64 kept = QFileInfo(app.filePath(keptBytes)).size();
    QVERIFY2(kept > 0 && kept <= cut.closeAfterBytes, qPrintable(messagesText(app)));
    QVERIFY2(indexOfMessage(app.logMessages(),
                 QStringLiteral("^\"1\\.001 download kept for the next run at %1 of %2 bytes\"$")
                     .arg(kept)
                     .arg(first.size()))
            >= 0,
        qPrintable(messagesText(app)));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("update"))));

    // Second run.
    app.resetMainProgramRecords();
    QByteArray installed = first;
    FaultServer::Behaviour answer = FaultServer::rangeable(first);
    QString version = QStringLiteral("1.001");
    if (secondRun == QLatin1String("republished")) {
        answer = FaultServer::rangeable(installed = package(2));
    } else if (secondRun == QLatin1String("no update")) {
        version = QStringLiteral("1.000");
    } else if (secondRun == QLatin1String("newer version")) {
        version = QStringLiteral("1.002");
        answer = FaultServer::rangeable(installed = package(2));
    } else if (secondRun == QLatin1String("tampered rest")) {
        QByteArray tampered = first;
        tampered[tampered.size() - 100] = char(tampered.at(tampered.size() - 100) ^ 1);
        answer = FaultServer::rangeable(tampered);
        answer.etag = cut.etag;
    }
    const int before = server.requests().size();
    serve(&server, version, answer, signedBuild ? installed : QByteArray());
    const UpdaterRun run = app.runUpdater(60000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages(run.logOffset);
    QVERIFY2(
        indexOfMessage(messages, expectedLine) >= 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")),
        installedVersion.isEmpty() ? QStringLiteral("1.000") : installedVersion);
    if (!installedVersion.isEmpty())
        QCOMPARE(readFileBytes(app.filePath(QStringLiteral("prog.bin"))),
            noise(packageBytes, installed == first ? 1 : 2));
    else
        QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("prog.bin"))));
    // Whatever became of it, nothing is kept once the run is over.
    QVERIFY(!QFileInfo::exists(app.filePath(keptBytes)));
    QVERIFY(!QFileInfo::exists(app.filePath(keptRecord)));

    // What the second run asked for: only the rest of the same package, the whole of another.
    QVector<FaultServer::Request> asked;
    for (int i = before; i < server.requests().size(); ++i)
        if (server.requests().at(i).path == programPackage)
            asked.append(server.requests().at(i));
    if (version == QLatin1String("1.000")) {
        QVERIFY(asked.isEmpty());
        return;
    }
    QVERIFY(!asked.isEmpty());
    const QList<QByteArray> range = asked.first().headerValues("Range");
    if (version == QLatin1String("1.002")) {
        QVERIFY2(range.isEmpty(), range.value(0).constData());
        return;
    }
    QCOMPARE(range, QList<QByteArray> { "bytes=" + QByteArray::number(kept) + '-' });
    QCOMPARE(asked.first().headerValues("If-Range"), QList<QByteArray> { cut.etag });
    if (secondRun == QLatin1String("same package")) {
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked.first().bodyBytesSent, first.size() - kept);
    }
}

QTEST_GUILESS_MAIN(TestKeptDownload)
#include "tst_keptdownload.moc"
