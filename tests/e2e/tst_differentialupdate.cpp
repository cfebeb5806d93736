// Whole runs against nginx with releases made by tools/publish.py: a program update fetches
// only the files that changed, by single ranges, and installs just those; a server without
// the index, or one that ignores ranges, gives the whole package; with trusted keys the
// index must be signed, and an entry altered on the server is never installed.

#include "appdir.h"
#include "nginxserver.h"
#include "packageindex.h"
#include "publishing.h"
#include "signing.h"

#include <quazip/quazip.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString v1001 = QStringLiteral("1.001");
const QString v1002 = QStringLiteral("1.002");
const QString indexPath = QStringLiteral("/client/program/orbelan.zip.index");
const QString keptIndex = QStringLiteral("updatetarvil.index");
const int fileCount = 32;
const qint64 fileBytes = 300 * 1000;

// Contents that do not compress, different for every name and version.
QByteArray noise(const QString& seed, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = qHash(seed) | 1;
    for (char& c : data) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = char(x);
    }
    return data;
}

// 32 files: 24 at the top, 8 in lib/. `changed` names the files whose contents belong to
// `version`; the others are the same in every version.
QMap<QString, QByteArray> programFiles(const QString& version, const QStringList& changed)
{
    QMap<QString, QByteArray> files;
    for (int i = 0; i < fileCount; ++i) {
        const QString name = i < 24 ? QStringLiteral("file%1.dll").arg(i, 2, 10, QLatin1Char('0'))
                                    : QStringLiteral("lib/part%1.bin").arg(i);
        const QString seed = changed.contains(name) ? name + version : name;
        files.insert(name, noise(seed, fileBytes + i * 1000));
    }
    return files;
}

const QStringList changedIn1002 { QStringLiteral("file03.dll"), QStringLiteral("file17.dll"),
    QStringLiteral("lib/part29.bin") };

// tools/publish.py program, signed with `secretKey` when given.
void publishProgram(const QString& root, const QString& version,
    const QMap<QString, QByteArray>& files, const QString& secretKey = QString())
{
    const QString failure = publishProgramRelease(
        root + QStringLiteral("/../source-") + version, root, version, files, secretKey);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

PackageIndex serverIndex(const Release& release)
{
    PackageIndex index;
    const QString refusal = readPublishedIndex(release.rootDir(), &index);
    [&] { QVERIFY2(refusal.isEmpty(), qPrintable(refusal)); }();
    return index;
}

// Bytes nginx sent for the program package's path, in all its answers.
qint64 packageBytesSent(const NginxServer& nginx)
{
    qint64 sent = 0;
    for (const ServedRequest& request : nginx.requests()) {
        if (request.path == Release::programPackagePath())
            sent += request.bytesSent;
    }
    return sent;
}

void verifyInstalled(const AppDir& app, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY2(readFileBytes(app.filePath(it.key())) == it.value(), qPrintable(it.key()));
}

bool logHas(const AppDir& app, const UpdaterRun& run, const QString& expected)
{
    for (const QString& message : app.debugMessages(run.logOffset)) {
        if (messageMatches(message, expected))
            return true;
    }
    return false;
}

void verifyLogHas(const AppDir& app, const UpdaterRun& run, const QString& expected)
{
    QVERIFY2(logHas(app, run, expected),
        qPrintable(expected + QStringLiteral(" not in:\n")
            + app.debugMessages(run.logOffset).join(QLatin1Char('\n'))));
}

// What the run logged as installed package entries, relative to the download directory.
QStringList loggedEntries(const AppDir& app, const UpdaterRun& run)
{
    const QString prefix = QStringLiteral("\"[UpdateTarvilDialog]:down_zip-files[OK]:%1/")
                               .arg(app.filePath(QStringLiteral("update")));
    QStringList entries;
    for (const QString& message : app.debugMessages(run.logOffset)) {
        if (message.startsWith(QLatin1String("\"[UpdateTarvilDialog]:down_zip")))
            entries.append(
                message.startsWith(prefix) ? message.mid(prefix.size()).chopped(1) : message);
    }
    return entries;
}

QStringList archiveEntries(const QString& archive)
{
    QuaZip zip(archive);
    return zip.open(QuaZip::mdUnzip) ? zip.getFileNameList() : QStringList { archive };
}

// The program step's download line, once, whichever way the package came.
void verifyDownloadLineOnce(const AppDir& app, const UpdaterRun& run, const QString& baseUrl)
{
    const QString line = QStringLiteral("download - curType: 0 \"%1%2\"")
                             .arg(baseUrl, Release::programPackagePath());
    QCOMPARE(app.debugMessages(run.logOffset).count(line), 1);
}

QDateTime longAgo() { return QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC); }

void ageFiles(const AppDir& app, const QMap<QString, QByteArray>& files)
{
    for (const QString& name : files.keys()) {
        QFile file(app.filePath(name));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(longAgo(), QFileDevice::FileModificationTime));
    }
}

} // namespace

class TestDifferentialUpdate : public QObject {
    Q_OBJECT

private slots:
    void updateFetchesOnlyTheChangedFiles();
    void wholePackageWhenTheServerCannotServeParts_data();
    void wholePackageWhenTheServerCannotServeParts();
    void signedIndex_data();
    void signedIndex();
    void hostileIndexIsRefused_data();
    void hostileIndexIsRefused();
    void nextRunRepairsDamagedFiles();
    void repairNotPossibleGoesOn();
    void fileReplacedByDatabasePackageIsNotRepaired();

private:
    // Publishes 1.001 and installs it with a first run (everything differs: whole package).
    void installFirstRelease(ReleaseSite& site, AppDir& app, const QString& secretKey = QString());
};

void TestDifferentialUpdate::installFirstRelease(
    ReleaseSite& site, AppDir& app, const QString& secretKey)
{
    QVERIFY(site.release.setDatabaseVersion("1.000"));
    publishProgram(site.dir.path(), v1001, programFiles(v1001, {}), secretKey);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl()));
    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyLogHas(app, run, QStringLiteral("\"1.001 whole package: differing files take *"));
    // Every entry of the archive, and nothing else, is logged as installed.
    QCOMPARE(loggedEntries(app, run),
        archiveEntries(site.release.filePath(Release::programPackagePath())));
    verifyDownloadLineOnce(app, run, site.nginx.baseUrl());
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1001);
    verifyInstalled(app, programFiles(v1001, {}));
    // The verified index of the installed package is kept.
    QCOMPARE(
        readFileBytes(app.filePath(keptIndex)), readFileBytes(site.release.filePath(indexPath)));
    app.resetMainProgramRecords();
}

void TestDifferentialUpdate::updateFetchesOnlyTheChangedFiles()
{
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    AppDir app;
    installFirstRelease(site, app);
    if (QTest::currentTestFailed())
        return;
    const auto files = programFiles(v1002, changedIn1002);
    publishProgram(site.dir.path(), v1002, files);
    if (QTest::currentTestFailed())
        return;
    ageFiles(app, files);
    const qint64 sentBefore = packageBytesSent(site.nginx);
    const int requestsBefore = site.nginx.requests().size();

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1002);
    verifyInstalled(app, files);
    for (const QString& name : files.keys()) {
        const QDateTime modified = QFileInfo(app.filePath(name)).lastModified().toUTC();
        QVERIFY2((modified == longAgo()) != changedIn1002.contains(name), qPrintable(name));
    }
    // The entries taken from the archive are logged, the kept index beside them is not.
    // The directory entry comes too: the installation rule needs it to place lib/'s file.
    QStringList logged = loggedEntries(app, run);
    logged.sort();
    QCOMPARE(logged,
        QStringList({ QStringLiteral("file03.dll"), QStringLiteral("file17.dll"),
            QStringLiteral("lib/"), QStringLiteral("lib/part29.bin") }));
    verifyDownloadLineOnce(app, run, site.nginx.baseUrl());
    const PackageIndex index = serverIndex(site.release);
    qint64 changedRecords = 0;
    for (const IndexEntry& entry : index.entries) {
        if (changedIn1002.contains(entry.path))
            changedRecords += entry.length;
    }
    const qint64 sent = packageBytesSent(site.nginx) - sentBefore;
    QVERIFY2(sent >= changedRecords && sent <= changedRecords * 5 / 4,
        qPrintable(
            QStringLiteral("%1 bytes sent for %2 bytes of records").arg(sent).arg(changedRecords)));
    // Single ranges only, each answered in part; the index once.
    const QList<ServedRequest> requests = site.nginx.requests().mid(requestsBefore);
    int ranges = 0;
    for (const ServedRequest& request : requests) {
        if (request.path == Release::programPackagePath()) {
            QCOMPARE(request.status, 206);
            ++ranges;
        }
    }
    QVERIFY(ranges >= 1 && ranges <= 3);
    // The run's one connection carries the questions, the index and every range.
    for (const ServedRequest& request : requests)
        QCOMPARE(request.connection, requests.first().connection);
    QCOMPARE(site.nginx.requestedPaths().mid(requestsBefore).count(indexPath), 1);
    verifyLogHas(app, run,
        QStringLiteral("\"1.002 differential: 3 of 32 files, %1 MB of %2 MB\"")
            .arg(QString::number(double(sent) / 1e6, 'f', 1),
                QString::number(double(index.archiveLength) / 1e6, 'f', 1)));
    QCOMPARE(
        readFileBytes(app.filePath(keptIndex)), readFileBytes(site.release.filePath(indexPath)));
}

void TestDifferentialUpdate::wholePackageWhenTheServerCannotServeParts_data()
{
    QTest::addColumn<QString>("directives");
    QTest::addColumn<bool>("removeIndex");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no index") << QString() << true << "no index (HTTP status 404)";
    QTest::newRow("ranges ignored") << QStringLiteral("        max_ranges 0;\n") << false
                                    << "no range answer (HTTP status 200)";
}

void TestDifferentialUpdate::wholePackageWhenTheServerCannotServeParts()
{
    QFETCH(QString, directives);
    QFETCH(bool, removeIndex);
    QFETCH(QString, reason);
    ReleaseSite site;
    NginxServer::Options options;
    options.serverDirectives = directives;
    QVERIFY2(site.start(options), qPrintable(site.nginx.errorString()));
    AppDir app;
    installFirstRelease(site, app);
    if (QTest::currentTestFailed())
        return;
    const auto files = programFiles(v1002, changedIn1002);
    publishProgram(site.dir.path(), v1002, files);
    if (removeIndex)
        QVERIFY(site.release.remove(indexPath));
    const int requestsBefore = site.nginx.requests().size();

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    verifyLogHas(app, run, QStringLiteral("\"1.002 whole package: %1\"").arg(reason));
    QVERIFY(!logHas(app, run, QStringLiteral("\"1.002 differential: *")));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1002);
    verifyInstalled(app, files);
    QCOMPARE(loggedEntries(app, run),
        archiveEntries(site.release.filePath(Release::programPackagePath())));
    verifyDownloadLineOnce(app, run, site.nginx.baseUrl());
    // A whole answer to a range request is cut off, not fetched in full a second time
    // (nginx counts what the socket buffers took before the connection closed).
    const qint64 package = QFileInfo(site.release.filePath(Release::programPackagePath())).size();
    QList<qint64> sent;
    for (const ServedRequest& request : site.nginx.requests().mid(requestsBefore)) {
        if (request.path == Release::programPackagePath())
            sent.append(request.bytesSent);
    }
    QCOMPARE(sent.size(), removeIndex ? 1 : 2);
    QCOMPARE(sent.last(), package);
    if (!removeIndex)
        QVERIFY2(sent.first() < package * 3 / 4,
            qPrintable(QStringLiteral("%1 of %2 bytes").arg(sent.first()).arg(package)));
}

void TestDifferentialUpdate::signedIndex_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("reason"); // empty: the update is differential
    QTest::addColumn<bool>("installed");

    QTest::newRow("genuine") << QString() << QString() << true;
    QTest::newRow("index altered") << "index altered"
                                   << "index signature refused: *" << true;
    QTest::newRow("index of a foreign key") << "foreign key"
                                            << "index signature refused: *" << true;
    QTest::newRow("index unsigned") << "unsigned"
                                    << "no index signature (HTTP status 404)" << true;
    QTest::newRow("entry altered on the server") << "entry altered"
                                                 << "file17.dll: *" << false;
}

void TestDifferentialUpdate::signedIndex()
{
    QFETCH(QString, attack);
    QFETCH(QString, reason);
    QFETCH(bool, installed);
    const SigningKey key = testSigningKey();
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    AppDir app(QStringLiteral(UPDATER_TESTKEY_BINARY));
    installFirstRelease(site, app, key.secretKeyPath);
    if (QTest::currentTestFailed())
        return;
    const auto files = programFiles(v1002, changedIn1002);
    publishProgram(site.dir.path(), v1002, files, key.secretKeyPath);
    if (QTest::currentTestFailed())
        return;
    const QString index = site.release.filePath(indexPath);
    if (attack == "index altered") {
        QByteArray text = readFileBytes(index);
        const int at = text.indexOf("file ") + 20;
        text[at] = text[at] == 'a' ? 'b' : 'a';
        QVERIFY(writeFileBytes(index, text));
    } else if (attack == "foreign key") {
        QTemporaryDir keys;
        SigningKey foreign;
        QVERIFY(generateSigningKey(keys.path(), &foreign));
        QVERIFY(minisignFile(index, foreign,
            { packageComment(QStringLiteral("orbelan.zip.index"), v1002), false, QString() }));
    } else if (attack == "unsigned") {
        QVERIFY(QFile::remove(index + QStringLiteral(".minisig")));
    } else if (attack == "entry altered") {
        // One byte in the middle of a changed file's compressed data: sizes stay the same.
        const QString package = site.release.filePath(Release::programPackagePath());
        QByteArray bytes = readFileBytes(package);
        for (const IndexEntry& entry : serverIndex(site.release).entries) {
            if (entry.path == QLatin1String("file17.dll")) {
                const qint64 at = entry.offset + entry.length / 2;
                bytes[int(at)] = char(bytes[int(at)] ^ 0x20);
            }
        }
        QVERIFY(writeFileBytes(package, bytes));
    }
    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    if (reason.isEmpty()) {
        verifyLogHas(app, run, QStringLiteral("\"1.002 differential: 3 of 32 files, *"));
    } else {
        const QString line = QStringLiteral("\"1.002 whole package: %1").arg(reason);
        verifyLogHas(app, run, line.endsWith(QLatin1Char('*')) ? line : line + "\"");
    }
    if (installed) {
        QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1002);
        verifyInstalled(app, files);
        return;
    }
    // The whole package's signature check refuses the altered package as well.
    verifyLogHas(app, run, QStringLiteral("\"1.002 signature refused: *"));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1001);
    verifyInstalled(app, programFiles(v1001, {}));
}

void TestDifferentialUpdate::hostileIndexIsRefused_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("reason");

    QTest::newRow("offset outside the archive") << "offset"
                                                << "index refused: path file00.dll: record 10*";
    QTest::newRow("record reaching into the directory")
        << "length"
        << "index refused: path lib/part31.bin: record *";
    QTest::newRow("path the installation refuses")
        << "path"
        << "index refused: path ../file00.dll: \"..\" component\"";
    QTest::newRow("duplicate path") << "duplicate"
                                    << "index refused: path FILE00.DLL listed twice\"";
    QTest::newRow("huge entry count") << "count"
                                      << "index refused: line 100005: more than 100000 entries\"";
}

// An installation of 1.000 without the files: the index is refused before anything is
// compared, and the whole package installs what it should.
void TestDifferentialUpdate::hostileIndexIsRefused()
{
    QFETCH(QString, attack);
    QFETCH(QString, reason);
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    QVERIFY(site.release.setDatabaseVersion("1.000"));
    const auto files = programFiles(v1001, {});
    publishProgram(site.dir.path(), v1001, files);
    if (QTest::currentTestFailed())
        return;
    const QString index = site.release.filePath(indexPath);
    QList<QByteArray> lines = readFileBytes(index).split('\n');
    QList<QByteArray> first = lines[4].split(' ');
    if (attack == "offset") {
        first[3] = QByteArray::number(serverIndex(site.release).archiveLength + 10);
    } else if (attack == "length") {
        QList<QByteArray> last = lines[35].split(' ');
        last[4] = QByteArray::number(last[4].toLongLong() + 30);
        lines[35] = last.join(' ');
    } else if (attack == "path") {
        first[5] = "../" + first[5];
    } else if (attack == "duplicate") {
        QList<QByteArray> copy = first;
        copy[5] = copy[5].toUpper();
        lines.insert(5, copy.join(' '));
    } else if (attack == "count") {
        for (int i = 0; i <= 100000; ++i)
            lines.insert(5, "file 1 " + QByteArray(64, '0') + " 0 40 f" + QByteArray::number(i));
    }
    lines[4] = first.join(' ');
    QVERIFY(writeFileBytes(index, lines.join('\n')));
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl()));

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyLogHas(app, run, QStringLiteral("\"1.001 whole package: %1").arg(reason));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1001);
    verifyInstalled(app, files);
    QVERIFY(!QFileInfo::exists(app.filePath(keptIndex)));
    QVERIFY(!QFileInfo::exists(app.rootPath() + QStringLiteral("/file00.dll")));
}

void TestDifferentialUpdate::nextRunRepairsDamagedFiles()
{
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    AppDir app;
    installFirstRelease(site, app);
    if (QTest::currentTestFailed())
        return;
    const auto files = programFiles(v1002, changedIn1002);
    publishProgram(site.dir.path(), v1002, files);
    if (QTest::currentTestFailed())
        return;
    UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyLogHas(app, run, QStringLiteral("\"1.002 differential: 3 of 32 files, *"));
    app.resetMainProgramRecords();

    const QStringList damaged { QStringLiteral("file05.dll"), QStringLiteral("lib/part26.bin"),
        QStringLiteral("file17.dll") };
    QVERIFY(QFile::remove(app.filePath(damaged[0])));
    QVERIFY(QFile::remove(app.filePath(damaged[1])));
    QVERIFY(QFile::resize(app.filePath(damaged[2]), 1000));
    ageFiles(app, files);
    const QString config = app.filePath(QStringLiteral("Config.ini"));
    const QDateTime configWritten = QFileInfo(config).lastModified();
    const int requestsBefore = site.nginx.requests().size();
    run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    verifyLogHas(app, run, QStringLiteral("\"1.002 repaired: 3 files\""));
    // A repair installs no package: nothing logged as installed, nothing recorded.
    QCOMPARE(loggedEntries(app, run), QStringList());
    QVERIFY(!logHas(app, run, QStringLiteral("writeIni *")));
    QCOMPARE(QFileInfo(config).lastModified(), configWritten);
    verifyInstalled(app, files);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1002);
    for (const QString& name : files.keys()) {
        const QDateTime modified = QFileInfo(app.filePath(name)).lastModified().toUTC();
        QVERIFY2((modified == longAgo()) != damaged.contains(name), qPrintable(name));
    }
    qint64 records = 0;
    for (const IndexEntry& entry : serverIndex(site.release).entries) {
        if (damaged.contains(entry.path))
            records += entry.length;
    }
    qint64 sent = 0;
    for (const ServedRequest& request : site.nginx.requests().mid(requestsBefore)) {
        if (request.path == Release::programPackagePath()) {
            QCOMPARE(request.status, 206);
            sent += request.bytesSent;
        }
    }
    QVERIFY2(sent >= records && sent <= records * 5 / 4,
        qPrintable(QStringLiteral("%1 bytes sent for %2 bytes of records").arg(sent).arg(records)));
    // Nothing left to repair: the next run fetches nothing of the package.
    app.resetMainProgramRecords();
    const int before = site.nginx.requests().size();
    run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    QCOMPARE(site.nginx.requestedPaths().mid(before),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath() }));
}

void TestDifferentialUpdate::repairNotPossibleGoesOn()
{
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    AppDir app;
    installFirstRelease(site, app);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(site.release.remove(indexPath));
    QVERIFY(QFile::remove(app.filePath(QStringLiteral("file09.dll"))));

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyLogHas(
        app, run, QStringLiteral("\"1.001 repair not possible: no index (HTTP status 404)\""));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("file09.dll"))));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1001);
    QVERIFY(!logHas(app, run, QStringLiteral("writeIni *")));
    // The database question follows as in any run without a program update.
    QCOMPARE(site.nginx.requestedPaths().last(), Release::databaseVersionPath());
}

void TestDifferentialUpdate::fileReplacedByDatabasePackageIsNotRepaired()
{
    ReleaseSite site;
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    AppDir app;
    installFirstRelease(site, app);
    if (QTest::currentTestFailed())
        return;
    const QString replaced = QStringLiteral("lib/part30.bin");
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(v1001,
        { ZipEntry::directory(QStringLiteral("lib/")),
            ZipEntry::file(replaced, "the database's own version") }));
    UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), v1001);
    QCOMPARE(readFileBytes(app.filePath(replaced)), QByteArray("the database's own version"));
    // The kept index changes in the same installation, but only the archive's entries are
    // logged as installed.
    QCOMPARE(loggedEntries(app, run), QStringList({ QStringLiteral("lib/"), replaced }));
    // The kept index no longer lists the file, and lists every other one as before.
    PackageIndex kept;
    QCOMPARE(readPackageIndex(readFileBytes(app.filePath(keptIndex)), &kept), QString());
    QCOMPARE(kept.entries.size(), fileCount - 1);
    for (const IndexEntry& entry : kept.entries)
        QVERIFY(entry.path != replaced);

    // A repair of another file leaves the database's file and the kept index's omission.
    QVERIFY(QFile::remove(app.filePath(QStringLiteral("file02.dll"))));
    app.resetMainProgramRecords();
    run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyLogHas(app, run, QStringLiteral("\"1.001 repaired: 1 files\""));
    verifyInstalled(
        app, { { QStringLiteral("file02.dll"), programFiles(v1001, {})["file02.dll"] } });
    QCOMPARE(readFileBytes(app.filePath(replaced)), QByteArray("the database's own version"));
    QCOMPARE(readPackageIndex(readFileBytes(app.filePath(keptIndex)), &kept), QString());
    QCOMPARE(kept.entries.size(), fileCount - 1);

    app.resetMainProgramRecords();
    run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    QCOMPARE(readFileBytes(app.filePath(replaced)), QByteArray("the database's own version"));
    QVERIFY(!logHas(app, run, QStringLiteral("\"1.001 repaired: *")));
    QVERIFY(!logHas(app, run, QStringLiteral("\"1.001 repair not possible: *")));
}

QTEST_GUILESS_MAIN(TestDifferentialUpdate)
#include "tst_differentialupdate.moc"
