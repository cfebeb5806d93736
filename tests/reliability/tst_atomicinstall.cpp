// A package lands whole or not at all. The updater is killed (SIGKILL) at many moments of
// installing a multi-file program package and a chain of database packages; a start with
// no server reachable must then find the installation wholly old with the old version
// recorded or wholly new with the new one, never mixed and never with a file missing, and
// the run after it, with the server back, completes. Obstacles in the middle of a package
// leave the installation byte for byte as before; a kill during that rollback is completed
// by the next start; a package cannot reach the journal.

#include "appdir.h"
#include "faultserver.h"
#include "release.h"
#include "reliability.h"
#include "transaction.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <unistd.h>

namespace {

const QStringList databaseVersions { "1.001", "1.002", "1.003" };
const int replacedProgramFiles = 160;
const int programFiles = 240;
const int pluginFiles = 20;
const int filesPerDatabase = 60;
const QString unreachable = QStringLiteral("http://127.0.0.1:1");

struct Package {
    QString path; // on the server
    QVector<ZipEntry> entries;
    TreeSnapshot installed; // relative path -> content, "<dir>" for a directory
};

void addFile(Package& package, const QString& name, const QByteArray& data)
{
    package.entries.append(ZipEntry::file(name, data));
    package.installed.insert(name, data);
}

void addDirectory(Package& package, const QString& name)
{
    package.entries.append(ZipEntry::directory(name + QLatin1Char('/')));
    package.installed.insert(name, "<dir>");
}

QByteArray programFile(int i, bool fresh) { return noise(700, (fresh ? 5000 : 9000) + quint32(i)); }

// Replaces every file of the old program, brings new ones and a new directory.
Package makeProgram()
{
    Package package;
    package.path = Release::programPackagePath();
    addFile(package, "program.ver", "program 1.001");
    addDirectory(package, "prog");
    for (int i = 0; i < programFiles; ++i)
        addFile(package, QStringLiteral("prog/p%1.bin").arg(i), programFile(i, true));
    addDirectory(package, "plugins");
    for (int i = 0; i < pluginFiles; ++i)
        addFile(package, QStringLiteral("plugins/q%1.bin").arg(i), noise(500, 7000 + quint32(i)));
    return package;
}

Package makeDatabase(int index)
{
    const QString version = databaseVersions.at(index);
    Package package;
    package.path = Release::databasePackagePath(version);
    addFile(package, "shared.db", "database " + version.toLatin1());
    addDirectory(package, "data");
    for (int i = 0; i < filesPerDatabase; ++i)
        addFile(package, QStringLiteral("data/d%1_%2.bin").arg(index + 1).arg(i),
            noise(600, quint32(100 * (index + 1) + i)));
    return package;
}

QString journalPath(const AppDir& app, const QString& name = QString())
{
    const QString dir = app.filePath(InstallTransaction::directoryName());
    return name.isEmpty() ? dir : dir + QLatin1Char('/') + name;
}

int entryCount(const QString& dir)
{
    return int(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

TreeSnapshot installationOf(const AppDir& app)
{
    QStringList ignore = runArtefacts();
    ignore.append(QStringLiteral("Config.ini"));
    return snapshotTree(app.path(), ignore);
}

// Sets a key the way the main program would, outside any run of the updater.
bool setConfigValue(const AppDir& app, const QString& key, const QString& value)
{
    QSettings settings(app.filePath(QStringLiteral("Config.ini")), QSettings::IniFormat);
    settings.setIniCodec("GB2312");
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool setServer(const AppDir& app, const QString& url)
{
    return setConfigValue(app, QStringLiteral("Server/ApiUrl"), url)
        && setConfigValue(app, QStringLiteral("Server/PackageUrl"), url);
}

bool runCommand(const QString& program, const QStringList& arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

} // namespace

class TestAtomicInstall : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedInstallIsWhollyOldOrWhollyNew_data();
    void killedInstallIsWhollyOldOrWhollyNew();
    void killDuringRollbackIsCompletedAtNextStart();
    void obstacleLeavesInstallationAsBeforeAndNextRunInstalls_data();
    void obstacleLeavesInstallationAsBeforeAndNextRunInstalls();
    void packageAimingAtJournalIsRefused_data();
    void packageAimingAtJournalIsRefused();

private:
    bool prepare(AppDir& app, const QString& serverUrl);
    void serve(FaultServer& server, int databases) const;
    TreeSnapshot expected(bool program, int databasesRecorded) const;
    void verifyWhole(const AppDir& app, const QString& when);

    FaultServer server;
    Package program;
    QVector<Package> databases;
    TreeSnapshot initial;
    qint64 referenceMs = 0;
};

// Program 1.000 and database 1.000: the files the program package replaces, and the
// shared database file every database package replaces.
bool TestAtomicInstall::prepare(AppDir& app, const QString& serverUrl)
{
    if (!app.isValid() || !writeFileBytes(app.filePath("program.ver"), "program 1.000")
        || !writeFileBytes(app.filePath("shared.db"), "database 1.000")
        || !QDir(app.path()).mkdir(QStringLiteral("prog")))
        return false;
    for (int i = 0; i < replacedProgramFiles; ++i) {
        if (!writeFileBytes(
                app.filePath(QStringLiteral("prog/p%1.bin").arg(i)), programFile(i, false)))
            return false;
    }
    // AppModel/model is set already: a run that installs nothing leaves Config.ini alone.
    return app.writeConfig({ { QStringLiteral("ContactUs/Contact1"), QStringLiteral("客服 400-1") },
        { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("AppModel/model"), QStringLiteral("1") },
        { QStringLiteral("Custom/Kept"), QStringLiteral("主程序的设置") },
        { QStringLiteral("Server/ApiUrl"), serverUrl },
        { QStringLiteral("Server/PackageUrl"), serverUrl },
        { QStringLiteral("Server/TimeoutMs"), QStringLiteral("5000") } });
}

void TestAtomicInstall::serve(FaultServer& target, int databaseCount) const
{
    target.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.001"));
    target.setBehaviour(Release::databaseVersionPath(),
        FaultServer::ok(databaseVersions.at(databaseCount - 1).toLatin1()));
    target.setBehaviour(program.path, FaultServer::ok(archiveBytes(program.entries)));
    for (const Package& package : databases)
        target.setBehaviour(package.path, FaultServer::ok(archiveBytes(package.entries)));
}

TreeSnapshot TestAtomicInstall::expected(bool withProgram, int databasesRecorded) const
{
    TreeSnapshot result = initial;
    auto apply = [&result](const Package& package) {
        for (auto it = package.installed.cbegin(); it != package.installed.cend(); ++it)
            result.insert(it.key(), it.value());
    };
    if (withProgram)
        apply(program);
    for (int i = 0; i < databasesRecorded; ++i)
        apply(databases.at(i));
    return result;
}

void TestAtomicInstall::initTestCase()
{
    QVERIFY(server.start());
    program = makeProgram();
    QCOMPARE(int(program.entries.size()), 3 + programFiles + pluginFiles);
    for (int i = 0; i < databaseVersions.size(); ++i)
        databases.append(makeDatabase(i));
    serve(server, databaseVersions.size());

    AppDir app;
    QVERIFY(prepare(app, server.baseUrl()));
    initial = installationOf(app);
    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    referenceMs = run.elapsedMs;
    qInfo("uninterrupted run: %lld ms", referenceMs);
    verifyWhole(app, QStringLiteral("the uninterrupted run"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), databaseVersions.last());
}

// Config.ini names the versions whose files, and only those, make up the installation.
void TestAtomicInstall::verifyWhole(const AppDir& app, const QString& when)
{
    const ConfigState state = readConfigState(app.filePath(QStringLiteral("Config.ini")));
    QVERIFY2(state.status == QSettings::NoError, qPrintable(when));
    const QString programVersion = state.values.value(QStringLiteral("Version/PROGRAM"));
    const QString databaseVersion = state.values.value(QStringLiteral("Version/DATABASE"));
    QVERIFY2(programVersion == "1.000" || programVersion == "1.001", qPrintable(programVersion));
    const int databasesRecorded = int(databaseVersions.indexOf(databaseVersion)) + 1;
    QVERIFY2(databasesRecorded > 0 || databaseVersion == "1.000", qPrintable(databaseVersion));
    const TreeSnapshot wanted = expected(programVersion == "1.001", databasesRecorded);
    const TreeSnapshot actual = installationOf(app);
    QVERIFY2(actual == wanted,
        qPrintable(
            QStringLiteral("%1, program %2, database %3:\n%4")
                .arg(when, programVersion, databaseVersion, describeDifference(wanted, actual))));
}

void TestAtomicInstall::killedInstallIsWhollyOldOrWhollyNew_data()
{
    QTest::addColumn<QString>("marker"); // "log:<text>" or "file:<journal file>"
    QTest::addColumn<int>("occurrence"); // log markers: kill once the text is there this often

    const QString entry = QStringLiteral("log:[UpdateTarvilDialog]:down_zip-files[OK]:");
    // Known before initTestCase has built the packages: -datatags lists the rows without it.
    const int programEntries = 3 + programFiles + pluginFiles;
    const int databaseEntries = 2 + filesPerDatabase;
    QTest::newRow("program: journal written") << "file:journal" << 0;
    QTest::newRow("program: first entry") << entry << 1;
    QTest::newRow("program: half-way") << entry << programEntries / 2;
    QTest::newRow("program: last entry") << entry << programEntries;
    QTest::newRow("program: version being recorded") << "log:writeIni Version/PROGRAM" << 1;
    QTest::newRow("program: journal marked committed") << "file:committed" << 0;
    QTest::newRow("database 1.001: first entry") << entry << programEntries + 1;
    QTest::newRow("database 1.002: half-way")
        << entry << programEntries + databaseEntries + databaseEntries / 2;
    QTest::newRow("database 1.002: version being recorded")
        << "log:writeIni Version/DATABASE VerList.at(VerIndex): \"1.002\"" << 1;
    QTest::newRow("database 1.003: last entry") << entry << programEntries + 3 * databaseEntries;
    // And every tenth of the way through all entries of the run.
    const int allEntries = programEntries + int(databaseVersions.size()) * databaseEntries;
    for (int tenth = 1; tenth <= 9; ++tenth)
        QTest::newRow(qPrintable(
            QStringLiteral("entry %1 of %2").arg(allEntries * tenth / 10).arg(allEntries)))
            << entry << allEntries * tenth / 10;
}

void TestAtomicInstall::killedInstallIsWhollyOldOrWhollyNew()
{
    QFETCH(QString, marker);
    QFETCH(int, occurrence);
    QVERIFY(referenceMs > 0);
    AppDir app;
    QVERIFY(prepare(app, server.baseUrl()));

    RunOptions options;
    const QString kind = marker.section(QLatin1Char(':'), 0, 0);
    const QString what = marker.section(QLatin1Char(':'), 1);
    if (kind == QLatin1String("file")) {
        const QString path = journalPath(app, what);
        options.killWhen = [path] { return QFileInfo::exists(path); };
    } else {
        const QByteArray text = what.toUtf8();
        options.killWhen
            = [&app, text, occurrence] { return app.logBytes().count(text) >= occurrence; };
    }
    const UpdaterRun killed = app.runUpdater(options);
    // A marker that lives for a millisecond or two (the committed journal before its
    // backups are dropped) can fall between two polls on a busy machine: the run then ends
    // on its own, and there was no moment to interrupt.
    if (!killed.killed && kind == QLatin1String("file") && killed.finished)
        QSKIP("the run ended before the poll saw the marker");
    QVERIFY2(killed.killed, "the run ended before the kill");
    // A kill during the hand-over may have started the main program: let it record itself.
    if (app.logBytes().contains("\"Orbelan.exe\""))
        QVERIFY(app.waitForStarts(1));
    const bool journalLeft = QFileInfo::exists(journalPath(app, "journal"))
        || QFileInfo::exists(journalPath(app, "committed"));

    // No server: only the recovery can put things right.
    QVERIFY(setServer(app, unreachable));
    const int logFrom = app.logMessages().size();
    const int startsBefore = app.mainProgramStarts().size();
    const UpdaterRun offline = app.runUpdater();
    verifyRunHandedOver(app, offline, logFrom, startsBefore);
    if (journalLeft)
        QVERIFY(indexOfMessage(logMessagesFrom(app, logFrom),
                    QStringLiteral("^\"1\\.00\\d install recovered: (rolled back|cleaned up)\"$"))
            >= 0);
    verifyWhole(app, QStringLiteral("after the start without a server"));
    if (QTest::currentTestFailed())
        return;

    QVERIFY(setServer(app, server.baseUrl()));
    const int completedFrom = app.logMessages().size();
    const UpdaterRun completed = app.runUpdater();
    verifyRunHandedOver(app, completed, completedFrom, startsBefore + 1);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.001"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), databaseVersions.last());
    verifyWhole(app, QStringLiteral("after the run with the server back"));
}

// The last file of a large package meets a directory in the way, so every file before it
// has been moved in and the rollback has many to undo; the kill lands in its middle.
void TestAtomicInstall::killDuringRollbackIsCompletedAtNextStart()
{
    const int files = 2500;
    Package big;
    big.path = Release::programPackagePath();
    addDirectory(big, "prog");
    for (int i = 0; i < files; ++i)
        addFile(big, QStringLiteral("prog/r%1.bin").arg(i), "new " + QByteArray::number(i));
    addFile(big, "prog/blocked.bin", "new blocked");
    FaultServer local;
    QVERIFY(local.start());
    local.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.001"));
    local.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.000"));
    local.setBehaviour(big.path, FaultServer::ok(archiveBytes(big.entries)));

    AppDir app;
    QVERIFY(prepare(app, local.baseUrl()));
    for (int i = 0; i < files; ++i)
        QVERIFY(writeFileBytes(app.filePath(QStringLiteral("prog/r%1.bin").arg(i)), "old"));
    QVERIFY(QDir(app.path()).mkpath(QStringLiteral("prog/blocked.bin")));
    const TreeSnapshot before = installationOf(app);

    const QString backups = journalPath(app, QStringLiteral("backup-1"));
    // Backups only grow while files are moved in and only shrink while they are restored:
    // the first shrink is the rollback under way. Killing then, rather than some hundreds of
    // files later, leaves the whole rollback as the window even when this process is slow
    // to poll (under ASan on a loaded machine the rollback once ended before the kill).
    int most = 0;
    RunOptions options;
    options.killWhen = [&] {
        const int count = entryCount(backups);
        most = qMax(most, count);
        return most >= files / 2 && count < most;
    };
    const UpdaterRun killed = app.runUpdater(options);
    QVERIFY2(killed.killed, "the run ended before the kill");
    QVERIFY2(QFileInfo::exists(journalPath(app, "journal")), "the kill came after the rollback");
    const int restoredBeforeKill = files - entryCount(backups);
    QVERIFY2(restoredBeforeKill > 0 && restoredBeforeKill < files,
        qPrintable(QString::number(restoredBeforeKill)));

    QVERIFY(setServer(app, unreachable));
    const int logFrom = app.logMessages().size();
    const int startsBefore = app.mainProgramStarts().size();
    const UpdaterRun offline = app.runUpdater();
    verifyRunHandedOver(app, offline, logFrom, startsBefore);
    QVERIFY(indexOfMessage(logMessagesFrom(app, logFrom),
                QStringLiteral("^\"1\\.001 install recovered: rolled back\"$"))
        >= 0);
    const TreeSnapshot after = installationOf(app);
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));

    QVERIFY(QDir(app.filePath(QStringLiteral("prog/blocked.bin"))).removeRecursively());
    QVERIFY(setServer(app, local.baseUrl()));
    const int completedFrom = app.logMessages().size();
    const UpdaterRun completed = app.runUpdater();
    verifyRunHandedOver(app, completed, completedFrom, 1);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.001"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("prog/r0.bin"))), QByteArray("new 0"));
    QCOMPARE(
        readFileBytes(app.filePath(QStringLiteral("prog/blocked.bin"))), QByteArray("new blocked"));
}

void TestAtomicInstall::obstacleLeavesInstallationAsBeforeAndNextRunInstalls_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("expectedLine"); // regular expression

    QTest::newRow("directory in the way of the last file")
        << "directory"
        << "^\"1\\.001 install rolled back: lib/a\\.dll: a directory is in the way\"$";
    QTest::newRow("target in a directory the user may not write")
        << "foreign directory"
        << "^\"1\\.001 install rolled back: lib/a\\.dll: cannot be moved aside: .+\"$";
    QTest::newRow("file that cannot be removed (immutable)")
        << "immutable"
        << "^\"1\\.001 install rolled back: lib/a\\.dll: cannot be moved aside: .+\"$";
    // Renames need no space: the disk fills while the package is extracted, before the
    // installation changes.
    QTest::newRow("disk full half-way through the package") << "disk full"
                                                            << "^\"1\\.001 zip is Empty\"$";
    QTest::newRow("small file system full half-way through the package")
        << "small file system"
        << "^\"1\\.001 zip is Empty\"$";
}

void TestAtomicInstall::obstacleLeavesInstallationAsBeforeAndNextRunInstalls()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, expectedLine);
    const bool asNobodyUser = obstacle == QLatin1String("foreign directory");
    if (asNobodyUser && !canRunAsNobody())
        QSKIP("needs root and setpriv to run as nobody");

    Package package;
    package.path = Release::programPackagePath();
    addFile(package, "program.ver", "program 1.001");
    addDirectory(package, "prog");
    for (int i = 0; i < 30; ++i)
        addFile(package, QStringLiteral("prog/p%1.bin").arg(i), programFile(i, true));
    // Zeros: a small archive that unpacks beyond the write limit of the disk-full row.
    addFile(package, "prog/zeros.bin", QByteArray(3 * 1024 * 1024, '\0'));
    addDirectory(package, "lib");
    addFile(package, "lib/a.dll", "a.dll 1.001");
    FaultServer local;
    QVERIFY(local.start());
    local.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.001"));
    local.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.000"));
    local.setBehaviour(package.path, FaultServer::ok(archiveBytes(package.entries)));

    AppDir app;
    QVERIFY(prepare(app, local.baseUrl()));
    QVERIFY(QDir(app.path()).mkdir(QStringLiteral("lib")));
    const QString library = app.filePath(QStringLiteral("lib/a.dll"));
    RunOptions options;
    if (obstacle == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(library));
        QVERIFY(writeFileBytes(library + QStringLiteral("/inside.txt"), "kept"));
    } else {
        QVERIFY(writeFileBytes(library, "a.dll 1.000"));
    }
    if (asNobodyUser) {
        QVERIFY(giveToNobody(app));
        // Root's directory, as an installation by an administrator leaves it.
        QVERIFY(::chown(QFile::encodeName(app.filePath("lib")).constData(), 0, 0) == 0);
        options.wrapper = asNobody();
    }
    if (obstacle == QLatin1String("immutable") && !runCommand("chattr", { "+i", library }))
        QSKIP("this file system has no immutable files");
    if (obstacle == QLatin1String("disk full")) {
        options.wrapper = QStringList { "sh", "-c",
            "trap '' XFSZ && exec prlimit --fsize=1048576 -- \"$@\"", "sh" };
    }
    if (obstacle == QLatin1String("small file system")) {
        if (QProcess::execute(QStringLiteral("unshare"), { "-m", "true" }) != 0)
            QSKIP("mount namespaces are needed to give update/ a small file system");
        QVERIFY(QDir().mkpath(app.filePath(QStringLiteral("update"))));
        // A private mount namespace; the wrapper takes the mount point down afterwards.
        options.wrapper = QStringList { "unshare", "-m", "sh", "-c",
            "d=$1; shift; mount -t tmpfs -o size=2m tmpfs \"$d\" || exit 90; \"$@\"; rc=$?; "
            "umount \"$d\" && rmdir \"$d\"; exit $rc",
            "sh", app.filePath(QStringLiteral("update")) };
    }
    const QByteArray configBefore = app.configBytes();
    TreeSnapshot before = installationOf(app);
    // The mount point goes with the mount.
    before.remove(QStringLiteral("update"));

    const UpdaterRun run = app.runUpdater(options);
    if (obstacle == QLatin1String("immutable"))
        QVERIFY(runCommand("chattr", { "-i", library }));
    verifyRunHandedOver(app, run, 0, 0);
    QVERIFY2(indexOfMessage(app.logMessages(), expectedLine) >= 0,
        qPrintable(app.logMessages().join(QLatin1Char('\n'))));
    const TreeSnapshot after = installationOf(app);
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QCOMPARE(app.configBytes(), configBefore);

    // The obstacle gone, the same package installs.
    if (obstacle == QLatin1String("directory"))
        QVERIFY(QDir(library).removeRecursively());
    if (asNobodyUser)
        QVERIFY(chownToNobody(app.filePath("lib")));
    if (obstacle == QLatin1String("disk full") || obstacle == QLatin1String("small file system"))
        options.wrapper.clear();
    const int logFrom = app.logMessages().size();
    const UpdaterRun next = app.runUpdater(options);
    verifyRunHandedOver(app, next, logFrom, 1);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.001"));
    QCOMPARE(readFileBytes(library), QByteArray("a.dll 1.001"));
    QCOMPARE(readFileBytes(app.filePath("prog/p0.bin")), programFile(0, true));
    QVERIFY(!QFileInfo::exists(journalPath(app)));
}

void TestAtomicInstall::packageAimingAtJournalIsRefused_data()
{
    QTest::addColumn<QString>("directory"); // the package's directory entry
    QTest::newRow("the journal's directory") << InstallTransaction::directoryName();
    QTest::newRow("the same in other case") << QStringLiteral("UpdateTarvil.Journal");
}

// A package that brings a journal of its own, with backups to "restore" over the
// installation, must not get them into the journal's place.
void TestAtomicInstall::packageAimingAtJournalIsRefused()
{
    QFETCH(QString, directory);
    const QByteArray forged = "{\"key\":\"Version/PROGRAM\",\"version\":\"9.999\","
                              "\"backups\":\"backup-1\",\"steps\":[{\"directory\":false,"
                              "\"target\":\"program.ver\",\"existed\":true}]}";
    Package package;
    package.path = Release::databasePackagePath(QStringLiteral("1.001"));
    addFile(package, "shared.db", "database 1.001");
    addDirectory(package, directory);
    addFile(package, directory + "/journal", forged);
    addDirectory(package, "backup-1");
    addFile(package, directory + "/backup-1/0", "forged program");
    FaultServer local;
    QVERIFY(local.start());
    local.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.000"));
    local.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.001"));
    local.setBehaviour(package.path, FaultServer::ok(archiveBytes(package.entries)));

    AppDir app;
    QVERIFY(prepare(app, local.baseUrl()));
    QVERIFY(setConfigValue(app, QStringLiteral("Version/PROGRAM"), QStringLiteral("1.001")));
    const QByteArray configBefore = app.configBytes();
    const TreeSnapshot before = installationOf(app);
    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    QVERIFY2(indexOfMessage(app.logMessages(),
                 QStringLiteral("^\"1\\.001 install not started: %1: reserved for the "
                                "installation journal\"$")
                     .arg(QRegularExpression::escape(directory)))
            >= 0,
        qPrintable(app.logMessages().join(QLatin1Char('\n'))));
    // The next start finds nothing to "recover" either.
    const int logFrom = app.logMessages().size();
    const UpdaterRun again = app.runUpdater();
    verifyRunHandedOver(app, again, logFrom, 1);
    QVERIFY(indexOfMessage(logMessagesFrom(app, logFrom), QStringLiteral("install recovered")) < 0);
    const TreeSnapshot after = installationOf(app);
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QCOMPARE(app.configBytes(), configBefore);
}

QTEST_GUILESS_MAIN(TestAtomicInstall)

#include "tst_atomicinstall.moc"
