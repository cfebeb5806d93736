// Whole update runs of the real updater against nginx on 127.0.0.1: packages downloaded,
// installed, recorded, and the hand-over that follows.

#include "appdir.h"
#include "cannedserver.h"
#include "nginxserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

const QString contact = QStringLiteral("客服电话 400-800-1234");
const QString handOverLine = QStringLiteral("\"Orbelan.exe\"");

// The messages that mark the course of a run: downloads, recordings, questions and the
// hand-over.
QStringList milestones(const AppDir& app)
{
    QStringList result;
    for (const QString& message : app.debugMessages()) {
        if (message.startsWith(QLatin1String("download - curType:"))
            || message.startsWith(QLatin1String("writeIni "))
            || message.startsWith(QLatin1String("CheckDataBaseUpdate()"))
            || message == handOverLine)
            result.append(message);
    }
    return result;
}

QString downloadLine(int type, const QString& url)
{
    return QStringLiteral("download - curType: %1 \"%2\"").arg(type).arg(url);
}

QString databaseRecord(const QString& version)
{
    return QStringLiteral("writeIni Version/DATABASE VerList.at(VerIndex): \"%1\"").arg(version);
}

QString programRecord(const QString& version)
{
    return QStringLiteral("writeIni Version/PROGRAM VerList.last(): \"%1\"").arg(version);
}

QStringList listing(const QString& dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The first message `expected` matches (see messageMatches) is not the first of the run,
// and the hand-over follows it at once. A QtTest check.
void verifyHandOverRightAfter(const QStringList& messages, const QString& expected)
{
    int found = -1;
    for (int i = 0; i < messages.size() && found < 0; ++i) {
        if (messageMatches(messages.at(i), expected))
            found = i;
    }
    QVERIFY2(found > 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.value(found + 1), handOverLine);
}

} // namespace

class TestPackageInstall : public QObject {
    Q_OBJECT

private slots:
    void oneDatabaseUpdateInstallsAndHandsOver();
    void programAndThreeDatabaseUpdatesRecordEachStep();
    void nestedDirectoriesAndConfigEntryKeepSettings();
    void missingPackageStopsStepAndNextRunResumes();
    void failedPackageIsNotRecorded_data();
    void failedPackageIsNotRecorded();
    void brokenPackageTransferIsNotRecorded_data();
    void brokenPackageTransferIsNotRecorded();
    void programPackageReplacesMainProgramKeepingPermissions();
    void slowSteadyTransferOutlastsInactivityLimit();
    void largePackageIsStreamedWithFlatMemory();

private:
    void prepare(ReleaseSite& site, AppDir& app, const AppDir::Values& extra = AppDir::Values(),
        const NginxServer::Options& options = NginxServer::Options());
};

// Starts nginx on the site and installs program and database 1.000, asking nginx for both
// versions and packages; `extra` is written after that and so replaces any of these.
void TestPackageInstall::prepare(ReleaseSite& site, AppDir& app, const AppDir::Values& extra,
    const NginxServer::Options& options)
{
    QVERIFY2(site.start(options), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    AppDir::Values values { { QStringLiteral("ContactUs/Contact1"), contact } };
    values.append(extra);
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl(), QString(), values));
}

void TestPackageInstall::oneDatabaseUpdateInstallsAndHandsOver()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.001"),
        { ZipEntry::file(QStringLiteral("data.db"), "database 1.001"),
            ZipEntry::file(QStringLiteral("readme.txt"), "read me") }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;
    const QString base = site.nginx.baseUrl();
    {
        QFile old(app.filePath(QStringLiteral("data.db")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("database 1.000, a longer text than the new one");
    }

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    const QString appDir = QFileInfo(app.path()).canonicalFilePath();
    const QString packageUrl = base + Release::databasePackagePath(QStringLiteral("1.001"));
    const QStringList expected {
        QStringLiteral("\"ContactUs:%1 V_Program:1.000 V_Database:1.000 V_Images:1.000\"")
            .arg(contact),
        QStringLiteral("CheckProgramUpdate_Url: \"%1/client/verProgram.php\"").arg(base),
        QStringLiteral("recieveUpdateFinish:all: \"1.000\""),
        QStringLiteral("f_arg2: 1 f_arg1: 1"),
        QStringLiteral("CheckDataBaseUpdate()检查DLL升级"),
        QStringLiteral("recieveUpdateFinish:all: \"1.001\""),
        QStringLiteral("f_arg2: 1 f_arg1: 1.001"),
        QStringLiteral("f_arg2: 1.001 f_arg1: 1.001"),
        QStringLiteral("\"1.001\""),
        downloadLine(1, packageUrl),
        QStringLiteral("\"[UpdateTarvilDialog]:down_zip-files[OK]:%1/update/data.db\"").arg(appDir),
        QStringLiteral("\"[UpdateTarvilDialog]:down_zip-files[OK]:%1/update/readme.txt\"")
            .arg(appDir),
        databaseRecord(QStringLiteral("1.001")),
        handOverLine,
    };
    QCOMPARE(app.debugMessages(), expected);

    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("data.db"))), QByteArray("database 1.001"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("readme.txt"))), QByteArray("read me"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath(),
            Release::databasePackagePath(QStringLiteral("1.001")) }));
    QCOMPARE(site.nginx.requests().last().status, 200);
}

void TestPackageInstall::programAndThreeDatabaseUpdatesRecordEachStep()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.002"));
    QVERIFY(site.release.setDatabaseVersion("1.003"));
    QVERIFY(
        site.release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.bin"), "1.002") }));
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.001"),
        { ZipEntry::file(QStringLiteral("db1.txt")),
            ZipEntry::file(QStringLiteral("shared.txt"), "1") }));
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.002"),
        { ZipEntry::file(QStringLiteral("db2.txt")),
            ZipEntry::file(QStringLiteral("shared.txt"), "2") }));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.003"), { ZipEntry::file(QStringLiteral("shared.txt"), "3") }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;
    const QString base = site.nginx.baseUrl();

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    // The program step records its last version once; the database step records each
    // version after its own package.
    const QStringList expected {
        downloadLine(0, base + Release::programPackagePath()),
        programRecord(QStringLiteral("1.002")),
        QStringLiteral("CheckDataBaseUpdate()检查DLL升级"),
        downloadLine(1, base + Release::databasePackagePath(QStringLiteral("1.001"))),
        databaseRecord(QStringLiteral("1.001")),
        downloadLine(1, base + Release::databasePackagePath(QStringLiteral("1.002"))),
        databaseRecord(QStringLiteral("1.002")),
        downloadLine(1, base + Release::databasePackagePath(QStringLiteral("1.003"))),
        databaseRecord(QStringLiteral("1.003")),
        handOverLine,
    };
    QCOMPARE(milestones(app), expected);
    const QStringList messages = app.debugMessages();
    QVERIFY(messages.contains(QStringLiteral("\"1.001\"")));
    QVERIFY(messages.contains(QStringLiteral("\"1.002\"")));

    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.002"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.003"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("prog.bin"))), QByteArray("1.002"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("db1.txt"))), QByteArray("db1.txt"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("db2.txt"))), QByteArray("db2.txt"));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("shared.txt"))), QByteArray("3"));
    // The program package's index is asked for first; without it the whole package comes.
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), Release::programPackagePath() + ".index",
            Release::programPackagePath(), Release::databaseVersionPath(),
            Release::databasePackagePath(QStringLiteral("1.001")),
            Release::databasePackagePath(QStringLiteral("1.002")),
            Release::databasePackagePath(QStringLiteral("1.003")) }));
}

void TestPackageInstall::nestedDirectoriesAndConfigEntryKeepSettings()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    const QByteArray foreignConfig
        = "[Version]\r\nDATABASE=9.999\r\n[Server]\r\nApiUrl=http://example.invalid\r\n";
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.001"),
        { ZipEntry::directory(QStringLiteral("lib/")), ZipEntry::file(QStringLiteral("lib/a.dll")),
            ZipEntry::directory(QStringLiteral("a/")), ZipEntry::directory(QStringLiteral("a/b/")),
            ZipEntry::file(QStringLiteral("a/b/f.dll")),
            ZipEntry::file(QStringLiteral("Config.ini"), foreignConfig),
            ZipEntry::file(QStringLiteral("Config.ini.bak"), foreignConfig),
            ZipEntry::file(QStringLiteral("after.txt")) }));
    AppDir app;
    prepare(site, app,
        { { QStringLiteral("Custom/Note"), QStringLiteral("自定义的值") },
            { QStringLiteral("Custom/Number"), QStringLiteral("42") },
            { QStringLiteral("Logo/Type"), QStringLiteral("0") } });
    if (QTest::currentTestFailed())
        return;
    QMap<QString, QString> before;
    for (const QString& key : app.configKeys())
        before.insert(key, app.configValue(key));

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    // One directory level: a/b/ becomes b/ directly in the application directory.
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("lib/a.dll"))), QByteArray("lib/a.dll"));
    QVERIFY(QFileInfo(app.filePath(QStringLiteral("a"))).isDir());
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("b/f.dll"))), QByteArray("a/b/f.dll"));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("a/b"))));
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("after.txt"))), QByteArray("after.txt"));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("Config.ini.bak"))));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("b/Config.ini"))));

    QMap<QString, QString> after;
    for (const QString& key : app.configKeys())
        after.insert(key, app.configValue(key));
    QMap<QString, QString> expected = before;
    expected.insert(QStringLiteral("Version/DATABASE"), QStringLiteral("1.001"));
    expected.insert(QStringLiteral("AppModel/model"), QStringLiteral("1"));
    QCOMPARE(after, expected);
    // Still GB2312 on disk, so the main program reads the same text.
    const QByteArray bytes = app.configBytes();
    QVERIFY(bytes.contains(toGb2312(contact)));
    QVERIFY(!bytes.contains("9.999"));
}

void TestPackageInstall::missingPackageStopsStepAndNextRunResumes()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.003"));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.001"), { ZipEntry::file(QStringLiteral("one.txt")) }));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.003"), { ZipEntry::file(QStringLiteral("three.txt")) }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun first = app.runUpdater();
    verifyHandedOverOnce(app, first);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
    QVERIFY(QFileInfo::exists(app.filePath(QStringLiteral("one.txt"))));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("three.txt"))));
    const QStringList messages = app.debugMessages();
    const int failure = messages.indexOf(
        QRegularExpression(QStringLiteral("^\"1\\.002 download failed: error 203 .*\"$")));
    QVERIFY2(failure > 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.at(failure + 1), handOverLine);
    QVERIFY(!messages.contains(databaseRecord(QStringLiteral("1.002"))));
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath(),
            Release::databasePackagePath(QStringLiteral("1.001")),
            Release::databasePackagePath(QStringLiteral("1.002")) }));

    // Published late: the next run starts after the last recorded version.
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.002"), { ZipEntry::file(QStringLiteral("two.txt")) }));
    app.resetMainProgramRecords();

    const UpdaterRun second = app.runUpdater();
    verifyHandedOverOnce(app, second);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.003"));
    QVERIFY(QFileInfo::exists(app.filePath(QStringLiteral("two.txt"))));
    QVERIFY(QFileInfo::exists(app.filePath(QStringLiteral("three.txt"))));
    QCOMPARE(site.nginx.requestedPaths().mid(4),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath(),
            Release::databasePackagePath(QStringLiteral("1.002")),
            Release::databasePackagePath(QStringLiteral("1.003")) }));
    const QStringList secondRun = app.logMessages(second.logOffset);
    QVERIFY(secondRun.contains(
        QStringLiteral("\"ContactUs:%1 V_Program:1.000 V_Database:1.001 V_Images:1.000\"")
            .arg(contact)));
    QVERIFY(secondRun.contains(databaseRecord(QStringLiteral("1.002"))));
    QVERIFY(secondRun.contains(databaseRecord(QStringLiteral("1.003"))));
}

void TestPackageInstall::failedPackageIsNotRecorded_data()
{
    QTest::addColumn<QByteArray>("archive");
    // "file:NAME" or "dir:NAME": something made in the application directory beforehand.
    QTest::addColumn<QString>("blocker");
    // The line written instead of the recording; ends in "*" to match by prefix.
    QTest::addColumn<QString>("expectedLine");
    QTest::addColumn<bool>("requested"); // whether the package was downloaded at all

    const QByteArray valid = archiveBytes({ ZipEntry::file(QStringLiteral("payload.txt")) });
    QTest::newRow("not a ZIP archive")
        << QByteArray("this is not a zip archive") << QString() << "\"1.001 zip is Empty\"" << true;
    QTest::newRow("archive without entries")
        << archiveBytes({}) << QString() << "\"1.001 zip is Empty\"" << true;
    QTest::newRow("archive cut short")
        << valid.left(valid.size() / 2) << QString() << "\"1.001 zip is Empty\"" << true;
    QTest::newRow("'../x' entry") << archiveBytes({ ZipEntry::file(QStringLiteral("../x"),
        "escaped") }) << QString() << "\"1.001 package refused: entry ../x: \"..\" component\""
                                  << true;
    QTest::newRow("'../../x' entry reaching outside the application directory")
        << archiveBytes({ ZipEntry::file(QStringLiteral("ok.txt")),
               ZipEntry::file(QStringLiteral("../../x"), "escaped") })
        << QString() << "\"1.001 package refused: entry ../../x: \"..\" component\"" << true;
    QTest::newRow("symlink to a directory outside, then a file through it")
        << archiveBytes({ ZipEntry::symlink(QStringLiteral("lnk"), QStringLiteral("../../outside")),
               ZipEntry::file(QStringLiteral("lnk/x"), "escaped") })
        << QString() << "\"1.001 package refused: entry lnk: symbolic link\"" << true;
    QTest::newRow("absolute entry name")
        << archiveBytes({ ZipEntry::file(QStringLiteral("/tmp/h3-absolute-entry/x"), "escaped") })
        << QString() << "\"1.001 package refused: entry /tmp/h3-absolute-entry/x: absolute path\""
        << true;
    QTest::newRow("entry that cannot be installed")
        << archiveBytes({ ZipEntry::directory(QStringLiteral("sub/")),
               ZipEntry::file(QStringLiteral("sub/f.txt")) })
        << "file:sub"
        << "\"1.001 install rolled back: sub: *" << true;
    QTest::newRow("package file that cannot be opened") << valid << "dir:update/v1.001.zip"
                                                        << "\"打开:v1.001.zip 失败\"" << false;
}

void TestPackageInstall::failedPackageIsNotRecorded()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, blocker);
    QFETCH(QString, expectedLine);
    QFETCH(bool, requested);

    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.002"));
    QVERIFY(site.release.setFile(Release::databasePackagePath(QStringLiteral("1.001")), archive));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.002"), { ZipEntry::file(QStringLiteral("two.txt")) }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(QDir(app.rootPath()).mkdir(QStringLiteral("outside")));
    if (blocker.startsWith(QLatin1String("file:"))) {
        QFile file(app.filePath(blocker.mid(5)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("in the way");
    } else if (blocker.startsWith(QLatin1String("dir:"))) {
        QVERIFY(QDir().mkpath(app.filePath(blocker.mid(4))));
    }
    const QStringList appBefore = listing(app.path());

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    // Nothing of the package outside the application directory, nothing new inside it
    // but the files of the run itself, and the later package never fetched.
    QCOMPARE(listing(app.rootPath()),
        QStringList({ "app", "cwd", "outside", "updater.err", "updater.out" }));
    QVERIFY(listing(app.rootPath() + QStringLiteral("/outside")).isEmpty());
    QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/h3-absolute-entry")));
    QStringList appAfter = listing(app.path());
    for (const QString& own : runArtefacts())
        appAfter.removeAll(own);
    QStringList expectedApp = appBefore;
    expectedApp.removeAll(QStringLiteral("update"));
    QCOMPARE(appAfter, expectedApp);
    QStringList expectedPaths { Release::programVersionPath(), Release::databaseVersionPath() };
    if (requested)
        expectedPaths.append(Release::databasePackagePath(QStringLiteral("1.001")));
    QCOMPARE(site.nginx.requestedPaths(), expectedPaths);

    const QStringList messages = app.debugMessages();
    verifyHandOverRightAfter(messages, expectedLine);
    for (const QString& message : messages)
        QVERIFY2(!message.startsWith(QLatin1String("writeIni")), qPrintable(message));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
}

void TestPackageInstall::brokenPackageTransferIsNotRecorded_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("hangUp"); // otherwise the server goes silent
    // The line written instead of the recording; ends in "*" to match by prefix.
    QTest::addColumn<QString>("expectedLine");
    // A transfer that ended early with bytes on disk is asked for once more; without an ETag
    // or Last-Modified from 0, and a second such end fails the package.
    QTest::addColumn<int>("connections");

    const QByteArray valid = archiveBytes({ ZipEntry::file(QStringLiteral("payload.txt")) });
    const QByteArray header = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
                              "Content-Length: "
        + QByteArray::number(valid.size()) + "\r\nConnection: close\r\n\r\n";
    QTest::newRow("server goes silent in the middle")
        << header + valid.left(valid.size() / 2) << false << "\"1.001 download failed: error 5 *"
        << 2;
    QTest::newRow("connection closed before the end")
        << header + valid.left(valid.size() / 2) << true << "\"1.001 download failed: error *" << 2;
    QTest::newRow("HTTP 500") << QByteArray(
        "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
        "Connection: close\r\n\r\n")
                              << true << "\"1.001 download failed: error 401 *" << 1;
    QTest::newRow("success status other than 200 with an archive")
        << QByteArray("HTTP/1.1 203 Non-Authoritative Information\r\nContent-Length: "
               + QByteArray::number(valid.size()) + "\r\nConnection: close\r\n\r\n" + valid)
        << true << "\"1.001 download failed: HTTP status 203\"*" << 1;
}

void TestPackageInstall::brokenPackageTransferIsNotRecorded()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, hangUp);
    QFETCH(QString, expectedLine);
    QFETCH(int, connections);

    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    CannedServer packages;
    packages.response = response;
    packages.closeAfterResponse = hangUp;
    QVERIFY(packages.start());
    AppDir app;
    prepare(site, app,
        { { QStringLiteral("Server/PackageUrl"), packages.baseUrl() },
            { QStringLiteral("Server/TimeoutMs"), QStringLiteral("500") } });
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.elapsedMs < 10000, qPrintable(QString::number(run.elapsedMs)));
    QCOMPARE(packages.sockets.size(), connections);

    verifyHandOverRightAfter(app.debugMessages(), expectedLine);
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("payload.txt"))));
}

void TestPackageInstall::programPackageReplacesMainProgramKeepingPermissions()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.001"));
    QVERIFY(site.release.setDatabaseVersion("1.000"));
    ZipEntry program = ZipEntry::file(
        QStringLiteral("Orbelan.exe"), AppDir::mainProgramScript(QStringLiteral("new")));
    program.permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(site.release.setProgramPackage({ program }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;
    const QString base = site.nginx.baseUrl();

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run, QStringLiteral("new"));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(QFile::permissions(app.filePath(QStringLiteral("Orbelan.exe"))) & 0x7077,
        program.permissions & 0x7077);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.001"));
    QCOMPARE(milestones(app),
        QStringList({ downloadLine(0, base + Release::programPackagePath()),
            programRecord(QStringLiteral("1.001")),
            QStringLiteral("CheckDataBaseUpdate()检查DLL升级"), handOverLine }));
}

void TestPackageInstall::slowSteadyTransferOutlastsInactivityLimit()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QByteArray md5;
    QVERIFY(writeLargeStoredZip(
        site.release.filePath(Release::databasePackagePath(QStringLiteral("1.001"))),
        QStringLiteral("slow.bin"), 400 * 1024, &md5));
    NginxServer::Options options;
    options.slowPrefix = QStringLiteral("/client/dll/");
    options.limitRate = QStringLiteral("100k");
    const int limitMs = 2500;
    AppDir app;
    prepare(
        site, app, { { QStringLiteral("Server/TimeoutMs"), QString::number(limitMs) } }, options);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater(60000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    // The transfer took longer than the limit, yet never paused that long.
    QVERIFY2(run.elapsedMs > limitMs, qPrintable(QString::number(run.elapsedMs)));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
    QCOMPARE(QCryptographicHash::hash(
                 readFileBytes(app.filePath(QStringLiteral("slow.bin"))), QCryptographicHash::Md5),
        md5);
}

void TestPackageInstall::largePackageIsStreamedWithFlatMemory()
{
    const qint64 size = qint64(105) * 1024 * 1024;
    const qint64 peakLimitKb = 80 * 1024;
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QByteArray md5;
    QVERIFY(writeLargeStoredZip(
        site.release.filePath(Release::databasePackagePath(QStringLiteral("1.001"))),
        QStringLiteral("big.bin"), size, &md5));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater(60000, true);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    const QString installed = app.filePath(QStringLiteral("big.bin"));
    QCOMPARE(QFileInfo(installed).size(), size);
    QCOMPARE(fileMd5(installed), md5);
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));

    verifyPeakMemory(run, size, peakLimitKb);
}

QTEST_GUILESS_MAIN(TestPackageInstall)

#include "tst_packageinstall.moc"
