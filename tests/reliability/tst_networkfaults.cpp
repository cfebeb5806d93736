// The real updater against a server that misbehaves at each of its four requests: the
// program and database questions and the package downloads. Every run must end with one
// hand-over, keep Config.ini whole and record only what was installed.

#include "appdir.h"
#include "faultserver.h"
#include "release.h"
#include "reliability.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

namespace {

const int limitMs = 600; // Server/TimeoutMs of every run
const QString contact = QStringLiteral("客服电话 400-800-1234, QQ 10001");

const QString programQuestion = Release::programVersionPath();
const QString databaseQuestion = Release::databaseVersionPath();
const QString programPackage = Release::programPackagePath();
const QString secondDatabasePackage = Release::databasePackagePath(QStringLiteral("1.002"));
// Where a healthy copy of every path is served as well, below this prefix.
const QString mirror = QStringLiteral("/mirror");

// What a healthy server publishes: program 1.001, database 1.001 and 1.002.
struct Healthy {
    QMap<QString, QByteArray> files { { QStringLiteral("prog.txt"), "program 1.001" },
        { QStringLiteral("db1.txt"), "database 1.001" },
        { QStringLiteral("db2.txt"), "database 1.002" } };
    QMap<QString, QByteArray> bodies;

    Healthy()
    {
        bodies.insert(programQuestion, "1.001");
        bodies.insert(databaseQuestion, "1.002");
        bodies.insert(programPackage,
            archiveBytes({ ZipEntry::file(QStringLiteral("prog.txt"), files.value("prog.txt")) }));
        bodies.insert(Release::databasePackagePath(QStringLiteral("1.001")),
            archiveBytes({ ZipEntry::file(QStringLiteral("db1.txt"), files.value("db1.txt")) }));
        // Padded with incompressible bytes, so that trickling it takes a while.
        bodies.insert(secondDatabasePackage,
            archiveBytes({ ZipEntry::file(QStringLiteral("db2.txt"), files.value("db2.txt")),
                ZipEntry::file(QStringLiteral("db2.pad"), noise(2000, 2)) }));
    }
};

// The faults, each as the server's answer to the request that receives it.
FaultServer::Behaviour faulty(
    const QString& fault, const QString& path, const QByteArray& body, bool versionQuestion)
{
    if (fault == QLatin1String("stall after headers"))
        return FaultServer::stallAfterHeaders(body.size());
    if (fault == QLatin1String("short trickle")) // five pieces, done within the limit
        return FaultServer::trickle(body, qMax(1, body.size() / 5 + 1), 100);
    if (fault == QLatin1String("long trickle")) {
        // Twenty pieces 120 ms apart: the whole answer takes four times the limit, but no
        // pause reaches it. A version gets trailing blanks, which the reading ignores.
        QByteArray padded = body;
        if (versionQuestion)
            padded.append(QByteArray(20 - body.size(), ' '));
        return FaultServer::trickle(padded, (padded.size() + 19) / 20, 120);
    }
    if (fault == QLatin1String("cut half-way with length"))
        return FaultServer::closeAfter(body, body.size() / 2);
    if (fault == QLatin1String("cut half-way without length")) {
        FaultServer::Behaviour behaviour = FaultServer::withoutLength(body);
        behaviour.closeAfterBytes = body.size() / 2;
        return behaviour;
    }
    if (fault == QLatin1String("HTTP 500 with a plausible body"))
        return FaultServer::serverError(body);
    if (fault == QLatin1String("302 to a healthy copy"))
        return FaultServer::redirect(mirror.toUtf8() + path.toUtf8());
    if (fault == QLatin1String("300 page naming a newer version")) {
        FaultServer::Behaviour behaviour = FaultServer::htmlPage("9.999");
        behaviour.status = 300;
        return behaviour;
    }
    if (fault == QLatin1String("301 without a target")) {
        FaultServer::Behaviour behaviour = FaultServer::htmlPage("9.999");
        behaviour.status = 301;
        return behaviour;
    }
    if (fault == QLatin1String("HTML page"))
        return FaultServer::htmlPage(
            "<html><head><title>502</title></head><body>Bad gateway</body></html>");
    if (fault == QLatin1String("endless body"))
        return FaultServer::endless(16 * 1024, 1);
    qFatal("unknown fault %s", qPrintable(fault));
    return FaultServer::Behaviour();
}

} // namespace

class TestNetworkFaults : public QObject {
    Q_OBJECT

private slots:
    void faultyAnswerEndsRunAndKeepsRecords_data();
    void faultyAnswerEndsRunAndKeepsRecords();
    void endlessPackageBodyCannotFillTheDisk_data();
    void endlessPackageBodyCannotFillTheDisk();

private:
    void prepare(
        AppDir& app, FaultServer& server, const Healthy& healthy, ConfigState* configBefore);
    void verifyOutcome(AppDir& app, const UpdaterRun& run, const ConfigState& before,
        const QString& expectedLine, const QString& program, const QString& database,
        const QStringList& installed, const Healthy& healthy);
};

// A healthy server and an installation at 1.000 that asks it; `configBefore` receives
// Config.ini as it stands before the run.
void TestNetworkFaults::prepare(
    AppDir& app, FaultServer& server, const Healthy& healthy, ConfigState* configBefore)
{
    QVERIFY(app.isValid());
    QVERIFY(server.start());
    for (auto it = healthy.bodies.cbegin(); it != healthy.bodies.cend(); ++it)
        server.setBehaviour(it.key(), FaultServer::ok(it.value()));
    for (auto it = healthy.bodies.cbegin(); it != healthy.bodies.cend(); ++it)
        server.setBehaviour(mirror + it.key(), FaultServer::ok(it.value()));
    QVERIFY(app.writeConfig({ { QStringLiteral("ContactUs/Contact1"), contact },
        { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("Version/IMAGES"), QStringLiteral("1.000") },
        { QStringLiteral("Logo/Type"), QStringLiteral("0") },
        { QStringLiteral("Server/ApiUrl"), server.baseUrl() },
        { QStringLiteral("Server/PackageUrl"), server.baseUrl() },
        { QStringLiteral("Server/TimeoutMs"), QString::number(limitMs) } }));
    *configBefore = readConfigState(app.filePath(QStringLiteral("Config.ini")));
    QCOMPARE(configBefore->status, QSettings::NoError);
}

void TestNetworkFaults::verifyOutcome(AppDir& app, const UpdaterRun& run, const ConfigState& before,
    const QString& expectedLine, const QString& program, const QString& database,
    const QStringList& installed, const Healthy& healthy)
{
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    const int line = indexOfMessage(messages, expectedLine);
    QVERIFY2(line >= 0,
        qPrintable(QStringLiteral("no line matches %1 in:\n%2")
                       .arg(expectedLine, messages.join(QLatin1Char('\n')))));

    // Every key kept; the versions are those of the packages that were installed.
    const ConfigState after = readConfigState(app.filePath(QStringLiteral("Config.ini")));
    QCOMPARE(after.status, QSettings::NoError);
    QMap<QString, QString> expected = before.values;
    expected.insert(QStringLiteral("Version/PROGRAM"), program);
    expected.insert(QStringLiteral("Version/DATABASE"), database);
    expected.insert(QStringLiteral("AppModel/model"), QStringLiteral("1"));
    QCOMPARE(after.values, expected);

    for (auto it = healthy.files.cbegin(); it != healthy.files.cend(); ++it) {
        const QString path = app.filePath(it.key());
        if (installed.contains(it.key()))
            QCOMPARE(readFileBytes(path), it.value());
        else
            QVERIFY2(!QFileInfo::exists(path), qPrintable(it.key()));
    }
    // The updater works in the application directory only.
    QCOMPARE(QDir(app.rootPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList({ "app", "cwd", "updater.err", "updater.out" }));
    QVERIFY(QDir(app.workingDirectory()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));
    // An aborted reply is not read: Qt would warn about reading a closed device.
    QVERIFY2(!app.logBytes().contains("QIODevice"), app.logBytes().constData());
}

void TestNetworkFaults::faultyAnswerEndsRunAndKeepsRecords_data()
{
    QTest::addColumn<QString>("target"); // the request that gets the faulty answer
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("expectedLine"); // a log message, as a regular expression
    QTest::addColumn<QString>("program"); // Version/PROGRAM afterwards
    QTest::addColumn<QString>("database"); // Version/DATABASE afterwards
    QTest::addColumn<QStringList>("installed"); // files of the packages that landed
    QTest::addColumn<int>("minElapsedMs");

    const QStringList all { "prog.txt", "db1.txt", "db2.txt" };
    const QStringList none;
    const QString v1000 = QStringLiteral("1.000");
    const QString v1001 = QStringLiteral("1.001");
    const QString v1002 = QStringLiteral("1.002");
    const int outlasted = 4 * limitMs;
    const QString answer = QStringLiteral("^recieveUpdateFinish:all: \"%1\"$");
    const QString notAnswer = QStringLiteral(
        "^\\[UpdateTarvilDialog\\]:\\[ERROR\\]:version reply with HTTP status %1$");

    auto row = [](const QString& target, const QString& fault, const QString& label,
                   const QString& line, const QString& program, const QString& database,
                   const QStringList& installed, int minElapsedMs = 0) {
        QTest::newRow(qPrintable(label + QStringLiteral(": ") + fault))
            << target << fault << line << program << database << installed << minElapsedMs;
    };

    // The program question: a failed question hands over at once; an answer that names
    // no newer version moves on to the database question.
    const QString pq = QStringLiteral("program question");
    row(programQuestion, "stall after headers", pq, "^error: 5$", v1000, v1000, none);
    row(programQuestion, "short trickle", pq, answer.arg("1\\.001"), v1001, v1002, all);
    row(programQuestion, "long trickle", pq, answer.arg("1\\.001 +"), v1001, v1002, all, outlasted);
    row(programQuestion, "cut half-way with length", pq, "^error: 2$", v1000, v1000, none);
    // Without a length the cut is the end of the body: "1." is not newer than 1.000.
    row(programQuestion, "cut half-way without length", pq, answer.arg("1\\."), v1000, v1002,
        { "db1.txt", "db2.txt" });
    // The body names a newer version, but an error status decides nothing.
    row(programQuestion, "HTTP 500 with a plausible body", pq, "^error: 401$", v1000, v1000, none);
    row(programQuestion, "302 to a healthy copy", pq, answer.arg("1\\.001"), v1001, v1002, all);
    // Not the answer itself: its body is never read as a version.
    row(programQuestion, "300 page naming a newer version", pq, notAnswer.arg(300), v1000, v1000,
        none);
    row(programQuestion, "301 without a target", pq, "^error: 301$", v1000, v1000, none);
    row(programQuestion, "HTML page", pq, answer.arg("<html>.*"), v1000, v1002,
        { "db1.txt", "db2.txt" });
    row(programQuestion, "endless body", pq,
        "^\\[UpdateTarvilDialog\\]:\\[ERROR\\]:version reply too large: \\d+ bytes$", v1000, v1000,
        none);

    // The database question, after the program package has been installed.
    const QString dq = QStringLiteral("database question");
    const QStringList program { "prog.txt" };
    row(databaseQuestion, "stall after headers", dq, "^error: 5$", v1001, v1000, program);
    row(databaseQuestion, "short trickle", dq, answer.arg("1\\.002"), v1001, v1002, all);
    row(databaseQuestion, "long trickle", dq, answer.arg("1\\.002 +"), v1001, v1002, all,
        outlasted);
    row(databaseQuestion, "cut half-way with length", dq, "^error: 2$", v1001, v1000, program);
    row(databaseQuestion, "cut half-way without length", dq, answer.arg("1\\."), v1001, v1000,
        program);
    row(databaseQuestion, "HTTP 500 with a plausible body", dq, "^error: 401$", v1001, v1000,
        program);
    row(databaseQuestion, "302 to a healthy copy", dq, answer.arg("1\\.002"), v1001, v1002, all);
    row(databaseQuestion, "300 page naming a newer version", dq, notAnswer.arg(300), v1001, v1000,
        program);
    row(databaseQuestion, "HTML page", dq, answer.arg("<html>.*"), v1001, v1000, program);
    row(databaseQuestion, "endless body", dq,
        "^\\[UpdateTarvilDialog\\]:\\[ERROR\\]:version reply too large: \\d+ bytes$", v1001, v1000,
        program);

    // The program package: a failed package ends the run before the database question.
    const QString pp = QStringLiteral("program package");
    const QString failed = QStringLiteral("^\"1\\.001 download failed: %1\"$");
    const QString empty = QStringLiteral("^\"1\\.001 zip is Empty\"$");
    row(programPackage, "stall after headers", pp, failed.arg("error 5 .*"), v1000, v1000, none);
    row(programPackage, "short trickle", pp, "^writeIni Version/PROGRAM .*\"1\\.001\"$", v1001,
        v1002, all);
    row(programPackage, "long trickle", pp, "^writeIni Version/PROGRAM .*\"1\\.001\"$", v1001,
        v1002, all, outlasted);
    row(programPackage, "cut half-way with length", pp, failed.arg("error 2 .*"), v1000, v1000,
        none);
    row(programPackage, "cut half-way without length", pp, empty, v1000, v1000, none);
    row(programPackage, "HTTP 500 with a plausible body", pp, failed.arg("error 401 .*"), v1000,
        v1000, none);
    row(programPackage, "302 to a healthy copy", pp, "^writeIni Version/PROGRAM .*\"1\\.001\"$",
        v1001, v1002, all);
    row(programPackage, "HTML page", pp, empty, v1000, v1000, none);

    // The second of two database packages: the first stays recorded and installed.
    const QString dp = QStringLiteral("second database package");
    const QString failed2 = QStringLiteral("^\"1\\.002 download failed: %1\"$");
    const QString empty2 = QStringLiteral("^\"1\\.002 zip is Empty\"$");
    const QStringList first { "prog.txt", "db1.txt" };
    row(secondDatabasePackage, "stall after headers", dp, failed2.arg("error 5 .*"), v1001, v1001,
        first);
    row(secondDatabasePackage, "short trickle", dp, "^writeIni Version/DATABASE .*\"1\\.002\"$",
        v1001, v1002, all);
    row(secondDatabasePackage, "long trickle", dp, "^writeIni Version/DATABASE .*\"1\\.002\"$",
        v1001, v1002, all, outlasted);
    row(secondDatabasePackage, "cut half-way with length", dp, failed2.arg("error 2 .*"), v1001,
        v1001, first);
    row(secondDatabasePackage, "cut half-way without length", dp, empty2, v1001, v1001, first);
    row(secondDatabasePackage, "HTTP 500 with a plausible body", dp, failed2.arg("error 401 .*"),
        v1001, v1001, first);
    row(secondDatabasePackage, "302 to a healthy copy", dp,
        "^writeIni Version/DATABASE .*\"1\\.002\"$", v1001, v1002, all);
    row(secondDatabasePackage, "HTML page", dp, empty2, v1001, v1001, first);
}

void TestNetworkFaults::faultyAnswerEndsRunAndKeepsRecords()
{
    QFETCH(QString, target);
    QFETCH(QString, fault);
    QFETCH(QString, expectedLine);
    QFETCH(QString, program);
    QFETCH(QString, database);
    QFETCH(QStringList, installed);
    QFETCH(int, minElapsedMs);

    const Healthy healthy;
    AppDir app;
    FaultServer server;
    ConfigState before;
    prepare(app, server, healthy, &before);
    if (QTest::currentTestFailed())
        return;
    const bool question = target == programQuestion || target == databaseQuestion;
    server.setBehaviour(target, faulty(fault, target, healthy.bodies.value(target), question));

    const UpdaterRun run = app.runUpdater(30000);
    verifyOutcome(app, run, before, expectedLine, program, database, installed, healthy);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.elapsedMs >= minElapsedMs, qPrintable(QString::number(run.elapsedMs)));
    // The inactivity limit ends a silent request soon after the limit, not at the run's end.
    QVERIFY2(run.elapsedMs < 15000, qPrintable(QString::number(run.elapsedMs)));
    // Redirects are followed, once.
    const bool redirected = fault == QLatin1String("302 to a healthy copy");
    QCOMPARE(server.requestCount(mirror + target), redirected ? 1 : 0);
    // Qt sends a GET once more when the connection drops before it has read the answer.
    QVERIFY2(server.requestCount(target) >= 1 && server.requestCount(target) <= 2,
        qPrintable(QString::number(server.requestCount(target))));
    // A package cut half-way is asked for once more at once (half of it is progress); the
    // server names no validator, so the second request starts from 0 without a range, and a
    // second cut fails the package.
    if (!question && fault == QLatin1String("cut half-way with length")) {
        const QString interrupted
            = QStringLiteral("^\"%1 download interrupted at %2 of %3 "
                             "bytes: error 2 .*; retrying in 0 s\"$")
                  .arg(QRegularExpression::escape(
                      target == programPackage ? QStringLiteral("1.001") : QStringLiteral("1.002")))
                  .arg(healthy.bodies.value(target).size() / 2)
                  .arg(healthy.bodies.value(target).size());
        QVERIFY2(indexOfMessage(app.logMessages(), interrupted) >= 0,
            qPrintable(app.logMessages().join(QLatin1Char('\n'))));
        QCOMPARE(server.requestCount(target), 2);
        QVERIFY(server.requestsFor(target).last().headerValues("Range").isEmpty());
    }
    // A failed package ends its step: nothing after it is fetched.
    if (target == programPackage && program == QLatin1String("1.000"))
        QCOMPARE(server.requestCount(databaseQuestion), 0);
}

void TestNetworkFaults::endlessPackageBodyCannotFillTheDisk_data()
{
    QTest::addColumn<QString>("setting"); // how the disk is made small
    QTest::addColumn<QString>("expectedLine");

    QTest::newRow("update/ on a file system of 8 MiB")
        << "tmpfs"
        << "^\"1\\.002 download failed: larger than \\d+ bytes\"$";
    QTest::newRow("disk full: writes fail beyond 1 MiB")
        << "fsize"
        << "^\"1\\.002 download failed: cannot write /.*/update/v1\\.002\\.zip\"$";
    QTest::newRow("declared length beyond what the disk can take")
        << "declared"
        << "^\"1\\.002 download failed: larger than \\d+ bytes\"$";
}

void TestNetworkFaults::endlessPackageBodyCannotFillTheDisk()
{
    QFETCH(QString, setting);
    QFETCH(QString, expectedLine);

    const Healthy healthy;
    AppDir app;
    FaultServer server;
    ConfigState before;
    prepare(app, server, healthy, &before);
    if (QTest::currentTestFailed())
        return;

    RunOptions options;
    options.timeoutMs = 60000;
    if (setting == QLatin1String("declared")) {
        // A petabyte announced, then a trickle that would last for ever.
        FaultServer::Behaviour behaviour = FaultServer::trickle(noise(64 * 1024, 9), 64, 5);
        behaviour.declaredLength = qint64(1) << 50;
        server.setBehaviour(secondDatabasePackage, behaviour);
    } else {
        server.setBehaviour(secondDatabasePackage, FaultServer::endless(64 * 1024, 1));
    }
    if (setting == QLatin1String("tmpfs")) {
        // A private mount namespace: the small file system is gone with the updater.
        QVERIFY2(QProcess::execute(QStringLiteral("unshare"), { "-m", "true" }) == 0,
            "mount namespaces are needed to give update/ a small file system");
        QVERIFY(QDir().mkpath(app.filePath(QStringLiteral("update"))));
        // The updater cannot remove a mount point; the wrapper takes it down afterwards.
        options.wrapper = QStringList { "unshare", "-m", "sh", "-c",
            "d=$1; shift; mount -t tmpfs -o size=8m tmpfs \"$d\" || exit 90; \"$@\"; rc=$?; "
            "umount \"$d\" && rmdir \"$d\"; exit $rc",
            "sh", app.filePath(QStringLiteral("update")) };
    } else if (setting == QLatin1String("fsize")) {
        // A full disk as the updater sees it: writes fail (EFBIG) past 1 MiB per file.
        options.wrapper = QStringList { "sh", "-c",
            "trap '' XFSZ && exec prlimit --fsize=1048576 -- \"$@\"", "sh" };
    }
    const UpdaterRun run = app.runUpdater(options);
    verifyOutcome(app, run, before, expectedLine, QStringLiteral("1.001"), QStringLiteral("1.001"),
        { "prog.txt", "db1.txt" }, healthy);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.elapsedMs < 30000, qPrintable(QString::number(run.elapsedMs)));
    const QVector<FaultServer::Request> requests = server.requestsFor(secondDatabasePackage);
    QCOMPARE(requests.size(), 1);
    QVERIFY2(requests.first().bodyBytesSent < 64 * 1024 * 1024,
        qPrintable(QString::number(requests.first().bodyBytesSent)));
}

QTEST_GUILESS_MAIN(TestNetworkFaults)

#include "tst_networkfaults.moc"
