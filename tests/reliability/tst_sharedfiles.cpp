// The files the updater shares with the main program and the system, in states it cannot
// simply use: read-only, malformed, locked, in the way. The updater runs as user nobody, so
// permissions count as they do for a user. Each run still ends with one hand-over, keeps
// every key of Config.ini and records no version that was not installed.

#include "appdir.h"
#include "faultserver.h"
#include "nginxserver.h"
#include "release.h"
#include "reliability.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray newLibrary = "a.dll of 1.001";
const QByteArray oldLibrary = "a.dll of 1.000";

QString lockPath(const AppDir& app) { return app.filePath(QStringLiteral("Config.ini.lock")); }

// A lock file as QLockFile writes it, naming a process that no longer exists.
bool writeDeadProcessLock(const QString& path)
{
    QTemporaryDir dir;
    QLockFile probe(dir.filePath(QStringLiteral("probe.lock")));
    if (!probe.tryLock(0))
        return false;
    QList<QByteArray> lines = readFileBytes(dir.filePath(QStringLiteral("probe.lock"))).split('\n');
    probe.unlock();
    qint64 pid = 0;
    if (!QProcess::startDetached(QStringLiteral("true"), {}, QString(), &pid) || pid <= 0)
        return false;
    // Gone once its /proc entry is: it exits at once and init reaps it.
    const QDeadlineTimer deadline(5000);
    while (QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    lines[0] = QByteArray::number(pid);
    return writeFileBytes(path, lines.join('\n'));
}

bool makeOld(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(
            QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
}

bool setMode(const QString& path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Program 1.000, database 1.001 of `entries`: one package is due.
void serveDatabase(FaultServer& server, const QVector<ZipEntry>& entries)
{
    server.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.000"));
    server.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.001"));
    server.setBehaviour(Release::databasePackagePath(QStringLiteral("1.001")),
        FaultServer::ok(archiveBytes(entries)));
}

} // namespace

class TestSharedFiles : public QObject {
    Q_OBJECT

private slots:
    void sharedFileInTheWayStillHandsOver_data();
    void sharedFileInTheWayStillHandsOver();
    void logGoesToLocalAppDataWhereTheDirectoryTakesNone();
};

void TestSharedFiles::sharedFileInTheWayStillHandsOver_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("expectedLine"); // regular expression; empty: none expected
    QTest::addColumn<bool>("installed"); // the package's files replaced the old ones
    QTest::addColumn<QString>("database"); // Version/DATABASE afterwards
    QTest::addColumn<bool>("configUnchanged"); // Config.ini byte for byte as before

    const QString rolledBack = QStringLiteral("^\"1\\.001 install rolled back: %1\"$");
    const QString notRecorded
        = rolledBack.arg(QStringLiteral("Config\\.ini: version not recorded"));

    // A version that cannot be recorded takes the package's files back out: files of a
    // version the installation does not name would be a mixed installation.
    QTest::newRow("Config.ini read-only")
        << "read-only config" << notRecorded << false << "1.000" << true;
    // No journal, no installation.
    const QString notStarted = QStringLiteral(
        "^\"1\\.001 install not started: .*updatetarvil\\.journal/journal: cannot be written\"$");
    QTest::newRow("application directory read-only")
        << "read-only directory" << notStarted << false << "1.000" << true;
    QTest::newRow("malformed Config.ini") << "malformed" << notRecorded << false << "1.000" << true;
    QTest::newRow("stale lock of a dead process")
        << "dead lock" << QString() << true << "1.001" << false;
    QTest::newRow("old garbage lock") << "garbage lock" << QString() << true << "1.001" << false;
    QTest::newRow("empty lock left by a writer killed a moment ago")
        << "fresh empty lock" << QString() << true << "1.001" << false;
    QTest::newRow("stale lock in a read-only directory")
        << "dead lock, read-only directory" << notStarted << false << "1.000" << true;
    QTest::newRow("directory where a file goes")
        << "directory in the way" << rolledBack.arg("lib/a\\.dll: a directory is in the way")
        << false << "1.000" << false;
    QTest::newRow("target in a directory the user may not write")
        << "foreign directory" << rolledBack.arg("lib/a\\.dll: cannot be moved aside: .*") << false
        << "1.000" << false;
    QTest::newRow("update is a file")
        << "update is a file"
        << "^\"打开:v1\\.001\\.zip 失败\"$" << false << "1.000" << true;
}

void TestSharedFiles::sharedFileInTheWayStillHandsOver()
{
    QFETCH(QString, state);
    QFETCH(QString, expectedLine);
    QFETCH(bool, installed);
    QFETCH(QString, database);
    QFETCH(bool, configUnchanged);

    AppDir app;
    QVERIFY(app.isValid());
    FaultServer server;
    QVERIFY(server.start());
    serveDatabase(server,
        { ZipEntry::file(QStringLiteral("db1.txt"), "database 1.001"),
            ZipEntry::directory(QStringLiteral("lib/")),
            ZipEntry::file(QStringLiteral("lib/a.dll"), newLibrary) });
    // AppModel/model is set already: only a recorded version changes the file.
    QVERIFY(app.writeConfig(
        { { QStringLiteral("ContactUs/Contact1"), QStringLiteral("客服电话 400-800-1234") },
            { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
            { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
            { QStringLiteral("AppModel/model"), QStringLiteral("1") },
            { QStringLiteral("Custom/Kept"), QStringLiteral("主程序的设置") },
            { QStringLiteral("Server/ApiUrl"), server.baseUrl() },
            { QStringLiteral("Server/PackageUrl"), server.baseUrl() },
            { QStringLiteral("Server/TimeoutMs"), QStringLiteral("5000") } }));
    QVERIFY(QDir(app.path()).mkdir(QStringLiteral("lib")));
    QVERIFY(writeFileBytes(app.filePath(QStringLiteral("lib/a.dll")), oldLibrary));
    // Made beforehand, so that the lines are there even where the directory is read-only.
    QVERIFY(writeFileBytes(app.filePath(QStringLiteral("updatetarvillogs.txt")), QByteArray()));

    if (state == QLatin1String("malformed")) {
        // The main program's own section lost its "]": the file must not be rewritten.
        QVERIFY(writeFileBytes(app.filePath(QStringLiteral("Config.ini")),
            app.configBytes() + "[Custom\nOther=value of the main program\n"));
    }
    const ConfigState before = readConfigState(app.filePath(QStringLiteral("Config.ini")));
    QVERIFY(before.exists);

    QVERIFY(giveToNobody(app));
    const bool readOnlyDirectory = state.endsWith(QLatin1String("read-only directory"));
    if (readOnlyDirectory)
        QVERIFY(QDir(app.path()).mkdir(QStringLiteral("update"))
            && chownToNobody(app.filePath("update")));
    if (state == QLatin1String("read-only config"))
        QVERIFY(setMode(app.filePath(QStringLiteral("Config.ini")), 0444));
    if (state.startsWith(QLatin1String("dead lock")))
        QVERIFY(writeDeadProcessLock(lockPath(app)));
    if (state == QLatin1String("garbage lock")) {
        QVERIFY(writeFileBytes(lockPath(app), noise(64, 7)));
        QVERIFY(makeOld(lockPath(app)));
    }
    if (state == QLatin1String("fresh empty lock"))
        QVERIFY(writeFileBytes(lockPath(app), QByteArray()));
    if (QFileInfo::exists(lockPath(app)))
        QVERIFY(chownToNobody(lockPath(app)));
    if (state == QLatin1String("directory in the way")) {
        QVERIFY(QFile::remove(app.filePath(QStringLiteral("lib/a.dll"))));
        QVERIFY(QDir(app.path()).mkpath(QStringLiteral("lib/a.dll")));
        QVERIFY(writeFileBytes(app.filePath(QStringLiteral("lib/a.dll/inside.txt")), oldLibrary));
        QVERIFY(chownToNobody(app.filePath("lib/a.dll"))
            && chownToNobody(app.filePath("lib/a.dll/inside.txt")));
    }
    if (state == QLatin1String("foreign directory")) {
        // Root's directory, as an installation by an administrator leaves it.
        QVERIFY(::lchown(QFile::encodeName(app.filePath(QStringLiteral("lib"))).constData(), 0, 0)
            == 0);
        QVERIFY(setMode(app.filePath(QStringLiteral("lib")), 0755));
    }
    if (state == QLatin1String("update is a file")) {
        QVERIFY(writeFileBytes(app.filePath(QStringLiteral("update")), "not a directory"));
        QVERIFY(chownToNobody(app.filePath(QStringLiteral("update"))));
    }
    if (readOnlyDirectory)
        QVERIFY(setMode(app.path(), 0555));

    const QByteArray configBefore = app.configBytes();
    const TreeSnapshot outsideBefore
        = snapshotTree(app.rootPath(), { "app", "updater.out", "updater.err" });

    const UpdaterRun run = runAsNobody(app, 60000);
    // Root again may change what nobody could not; restored before any check can fail.
    setMode(app.path(), 0755);
    verifyRunHandedOver(app, run, 0, 0);
    if (QTest::currentTestFailed())
        return;
    // No lock to wait out: the run lasts about as long as one with nothing in the way.
    QVERIFY2(run.elapsedMs < 10000, qPrintable(QString::number(run.elapsedMs)));

    const QStringList messages = app.logMessages();
    if (!expectedLine.isEmpty())
        QVERIFY2(indexOfMessage(messages, expectedLine) >= 0,
            qPrintable(QStringLiteral("no line matches %1 in:\n%2")
                           .arg(expectedLine, messages.join(QLatin1Char('\n')))));

    const ConfigState after = readConfigState(app.filePath(QStringLiteral("Config.ini")));
    QCOMPARE(after.status, before.status);
    QMap<QString, QString> expected = before.values;
    expected.insert(QStringLiteral("Version/DATABASE"), database);
    QCOMPARE(after.values, expected);
    if (configUnchanged)
        QCOMPARE(app.configBytes(), configBefore);
    // (Nobody can remove a file from a read-only directory, the updater included.)
    if (!readOnlyDirectory)
        QVERIFY2(!QFileInfo::exists(lockPath(app)), "a lock file was left behind");

    const QByteArray library = readFileBytes(app.filePath(QStringLiteral("lib/a.dll")));
    if (installed) {
        QCOMPARE(library, newLibrary);
        QCOMPARE(
            readFileBytes(app.filePath(QStringLiteral("db1.txt"))), QByteArray("database 1.001"));
    } else {
        // All or nothing: db1.txt, installed before lib/a.dll failed, is taken out again.
        QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("db1.txt"))));
        if (state == QLatin1String("directory in the way"))
            QCOMPARE(
                readFileBytes(app.filePath(QStringLiteral("lib/a.dll/inside.txt"))), oldLibrary);
        else
            QCOMPARE(library, oldLibrary);
    }
    if (state == QLatin1String("update is a file")) {
        QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("db1.txt"))));
        QCOMPARE(
            readFileBytes(app.filePath(QStringLiteral("update"))), QByteArray("not a directory"));
    } else if (!readOnlyDirectory)
        QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("update"))));
    QCOMPARE(snapshotTree(app.rootPath(), { "app", "updater.out", "updater.err" }), outsideBefore);
}

// A directory the user may not write, with no log file in it: without another place every
// start would fail without a trace. The log goes to the user's local application data.
void TestSharedFiles::logGoesToLocalAppDataWhereTheDirectoryTakesNone()
{
    AppDir app;
    QVERIFY(app.isValid());
    FaultServer server;
    QVERIFY(server.start());
    serveDatabase(server, { ZipEntry::file(QStringLiteral("db1.txt"), "1.001") });
    QVERIFY(app.writeOldInstallationConfig(server.baseUrl()));
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(giveToNobody(app) && chownToNobody(home.path()));
    openPathToOthers(home.path());
    QVERIFY(setMode(app.path(), 0555));

    RunOptions options;
    options.wrapper = asNobody();
    options.timeoutMs = 60000;
    options.environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    const UpdaterRun run = app.runUpdater(options);
    setMode(app.path(), 0755);

    verifyNormalExit(app, run);
    QVERIFY(!QFileInfo::exists(app.filePath(AppDir::logFile())));
    const QString fallback = home.filePath(
        QFileInfo(app.updaterPath()).fileName() + QLatin1Char('/') + AppDir::logFile());
    const QList<LogLine> lines = parseLog(readFileBytes(fallback));
    QStringList messages;
    for (const LogLine& line : lines)
        messages.append(line.message);
    QVERIFY2(messages.contains(QStringLiteral("\"打开:v1.001.zip 失败\"")),
        qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.count(QStringLiteral("\"Orbelan.exe\"")), 1);
    QVERIFY(app.waitForStarts(1));
    QCOMPARE(app.releaseMainProgram(), QStringList { QStringLiteral("installed") });
    QCOMPARE(app.mainProgramStarts().size(), 1);
}

QTEST_GUILESS_MAIN(TestSharedFiles)

#include "tst_sharedfiles.moc"
