// Damaged and hostile packages fed to the real updater: each is refused with a line that
// says why, and the installation, Config.ini and everything outside the application
// directory stay as they were, byte for byte.

#include "appdir.h"
#include "faultserver.h"
#include "release.h"
#include "reliability.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QtTest>

namespace {

void putLe32(QByteArray& bytes, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xff);
}

// One deflated entry of `realSize` zero bytes whose headers declare `declaredSize` bytes
// and the given checksum: more data than declared, cheap to build and to serve.
QByteArray understatedZip(int realSize, quint32 declaredSize, quint32 crc)
{
    QByteArray bytes
        = archiveBytes({ ZipEntry::file(QStringLiteral("zeros.bin"), QByteArray(realSize, '\0')) });
    const int localHeader = bytes.indexOf(QByteArray("PK\x03\x04", 4));
    const int centralHeader = bytes.indexOf(QByteArray("PK\x01\x02", 4));
    if (localHeader != 0 || centralHeader < 0)
        return QByteArray();
    putLe32(bytes, localHeader + 14, crc);
    putLe32(bytes, localHeader + 22, declaredSize);
    putLe32(bytes, centralHeader + 16, crc);
    putLe32(bytes, centralHeader + 24, declaredSize);
    return bytes;
}

QByteArray encryptedZip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("e.zip"));
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return QByteArray();
    const QByteArray data("secret database");
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(QStringLiteral("data.db")), "password",
            zipCrc32(data)))
        return QByteArray();
    file.write(data);
    file.close();
    zip.close();
    return readFileBytes(path);
}

const QString absoluteTarget = QStringLiteral("/tmp/updater-hostile-absolute-entry");

} // namespace

class TestHostilePackages : public QObject {
    Q_OBJECT

private slots:
    void hostilePackageIsRefusedAndChangesNothing_data();
    void hostilePackageIsRefusedAndChangesNothing();
    void dataBeyondDeclaredSizeIsNeverWritten();

private:
    void prepare(AppDir& app, FaultServer& server);
};

void TestHostilePackages::prepare(AppDir& app, FaultServer& server)
{
    QVERIFY(app.isValid());
    QVERIFY(server.start());
    // AppModel/model is set already, so the hand-over leaves the file as it was.
    QVERIFY(app.writeConfig(
        { { QStringLiteral("ContactUs/Contact1"), QStringLiteral("客服电话 400-800-1234") },
            { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
            { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
            { QStringLiteral("Version/IMAGES"), QStringLiteral("1.000") },
            { QStringLiteral("AppModel/model"), QStringLiteral("1") },
            { QStringLiteral("Server/ApiUrl"), server.baseUrl() },
            { QStringLiteral("Server/PackageUrl"), server.baseUrl() },
            { QStringLiteral("Server/TimeoutMs"), QStringLiteral("5000") } }));
    QVERIFY(writeFileBytes(app.filePath(QStringLiteral("data.db")), "installed database 1.000"));
    QVERIFY(QDir(app.path()).mkdir(QStringLiteral("lib")));
    QVERIFY(writeFileBytes(app.filePath(QStringLiteral("lib/a.dll")), "installed a.dll"));
    QVERIFY(QDir(app.rootPath()).mkdir(QStringLiteral("outside")));
    QVERIFY(writeFileBytes(app.rootPath() + QStringLiteral("/outside/keep.txt"), "outside"));
}

void TestHostilePackages::hostilePackageIsRefusedAndChangesNothing_data()
{
    QTest::addColumn<bool>("programPackage"); // otherwise the database package 1.001
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("expectedLine"); // regular expression

    const QString empty = QStringLiteral("^\"%1 zip is Empty\"$");
    const QString refused = QStringLiteral("^\"%1 package refused: %2\"$");
    const QByteArray valid = archiveBytes({ ZipEntry::file(QStringLiteral("data.db"), "new"),
        ZipEntry::file(QStringLiteral("more.txt"), noise(4000, 1)) });

    QByteArray corrupt = valid;
    for (int i = 40; i < corrupt.size() - 30; i += 7)
        corrupt[i] = char(corrupt.at(i) ^ 0x5a);
    QTest::newRow("corrupt archive") << false << corrupt << empty.arg("1\\.001");
    QTest::newRow("truncated archive")
        << false << valid.left(valid.size() * 2 / 3) << empty.arg("1\\.001");
    QTest::newRow("zero bytes") << false << QByteArray() << empty.arg("1\\.001");
    QTest::newRow("valid archive without entries")
        << false << archiveBytes({}) << empty.arg("1\\.001");
    QTest::newRow("encrypted entry") << false << encryptedZip() << empty.arg("1\\.001");
    QTest::newRow("program package: truncated")
        << true << valid.left(valid.size() / 2) << empty.arg("1\\.001");

    const QString overLimit = QStringLiteral("unpacks to more than 8589934592 bytes");
    QTest::newRow("bomb: one entry declaring 10 GiB")
        << false << declaredSizesZip({ { "zeros.bin", quint64(10) << 30 } })
        << refused.arg("1\\.001", overLimit);
    QTest::newRow("bomb: entries of 5 GiB each")
        << false
        << declaredSizesZip({ { "a.bin", quint64(5) << 30 }, { "b.bin", quint64(5) << 30 } })
        << refused.arg("1\\.001", overLimit);
    QTest::newRow("bomb: declared size near 2^64")
        << false << declaredSizesZip({ { "small.bin", 10 }, { "huge.bin", ~quint64(0) - 4095 } })
        << refused.arg("1\\.001", overLimit);
    QTest::newRow("program package: bomb")
        << true << declaredSizesZip({ { "Orbelan.exe", quint64(10) << 30 } })
        << refused.arg("1\\.001", overLimit);
    // 4 MiB of data behind a header that declares 100 bytes; the checksum is that of the
    // 4 MiB, so the 100 bytes read do not match it.
    QTest::newRow("more data than declared")
        << false << understatedZip(4 << 20, 100, zipCrc32(QByteArray(4 << 20, '\0')))
        << empty.arg("1\\.001");

    QTest::newRow("'..' component")
        << false
        << archiveBytes({ ZipEntry::file(QStringLiteral("ok.txt")),
               ZipEntry::file(QStringLiteral("../outside/x"), "escaped") })
        << refused.arg("1\\.001", "entry \\.\\./outside/x: \"\\.\\.\" component");
    QTest::newRow("'..' behind a directory")
        << false
        << archiveBytes({ ZipEntry::directory(QStringLiteral("lib/")),
               ZipEntry::file(QStringLiteral("lib/../../../outside/x"), "escaped") })
        << refused.arg("1\\.001", "entry lib/\\.\\./\\.\\./\\.\\./outside/x: \"\\.\\.\" component");
    QTest::newRow("backslash '..'")
        << false << archiveBytes({ ZipEntry::file(QStringLiteral("..\\..\\outside\\x")) })
        << refused.arg("1\\.001", ".*\"\\.\\.\" component");
    QTest::newRow("absolute path")
        << false << archiveBytes({ ZipEntry::file(absoluteTarget + QStringLiteral("/x")) })
        << refused.arg("1\\.001", "entry " + absoluteTarget + "/x: absolute path");
    QTest::newRow("drive letter") << false
                                  << archiveBytes(
                                         { ZipEntry::file(QStringLiteral("C:/Windows/x.dll")) })
                                  << refused.arg(
                                         "1\\.001", "entry C:/Windows/x\\.dll: drive letter");
    QTest::newRow("symbolic link to a directory outside, then a file through it")
        << false
        << archiveBytes({ ZipEntry::symlink(QStringLiteral("lnk"), QStringLiteral("../../outside")),
               ZipEntry::file(QStringLiteral("lnk/x"), "escaped") })
        << refused.arg("1\\.001", "entry lnk: symbolic link");
    QTest::newRow("symbolic link over an installed file")
        << false
        << archiveBytes(
               { ZipEntry::symlink(QStringLiteral("data.db"), QStringLiteral("/etc/passwd")) })
        << refused.arg("1\\.001", "entry data\\.db: symbolic link");
    QTest::newRow("program package: symbolic link")
        << true
        << archiveBytes(
               { ZipEntry::symlink(QStringLiteral("Orbelan.exe"), QStringLiteral("/bin/sh")) })
        << refused.arg("1\\.001", "entry Orbelan\\.exe: symbolic link");
    QTest::newRow("name part of 300 bytes")
        << false << archiveBytes({ ZipEntry::file(QString(300, QLatin1Char('n'))) })
        << refused.arg("1\\.001", "entry n{300}: name part too long");
    ZipEntry raw = ZipEntry::file(QStringLiteral("placeholder"), "data");
    raw.rawName = QByteArray("bad\xff\xfe"
                             "name.dll");
    QTest::newRow("name that is not UTF-8")
        << false << archiveBytes({ ZipEntry::file(QStringLiteral("ok.dll")), raw })
        << refused.arg("1\\.001", "entry bad\uFFFD\uFFFDname\\.dll: name is not valid text");
    QTest::newRow("control character in a name")
        << false << archiveBytes({ ZipEntry::file(QStringLiteral("a\nb.dll")) })
        << refused.arg("1\\.001", "entry a\nb\\.dll: control character in name");
}

void TestHostilePackages::hostilePackageIsRefusedAndChangesNothing()
{
    QFETCH(bool, programPackage);
    QFETCH(QByteArray, archive);
    QFETCH(QString, expectedLine);

    AppDir app;
    FaultServer server;
    prepare(app, server);
    if (QTest::currentTestFailed())
        return;
    const QString packagePath = programPackage
        ? Release::programPackagePath()
        : Release::databasePackagePath(QStringLiteral("1.001"));
    server.setBehaviour(
        Release::programVersionPath(), FaultServer::ok(programPackage ? "1.001" : "1.000"));
    server.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.001"));
    server.setBehaviour(packagePath, FaultServer::ok(archive));

    const QByteArray configBefore = app.configBytes();
    const TreeSnapshot appBefore = snapshotTree(app.path(), runArtefacts());
    const QStringList outsideIgnored { "app", "updater.out", "updater.err" };
    const TreeSnapshot outsideBefore = snapshotTree(app.rootPath(), outsideIgnored);
    QVERIFY(!QFileInfo::exists(absoluteTarget));

    RunOptions options;
    // Names without the UTF-8 flag are decoded with the locale's codec.
    options.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    const UpdaterRun run = app.runUpdater(options);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    const QStringList messages = app.logMessages();
    const int refusal = indexOfMessage(messages, expectedLine);
    QVERIFY2(refusal >= 0,
        qPrintable(QStringLiteral("no line matches %1 in:\n%2")
                       .arg(expectedLine, messages.join(QLatin1Char('\n')))));
    QCOMPARE(messages.value(refusal + 1), QStringLiteral("\"Orbelan.exe\""));
    QCOMPARE(messages.filter(QStringLiteral("writeIni")), QStringList());
    QCOMPARE(server.requestCount(packagePath), 1);
    // A refused program package ends the run before the database question.
    QCOMPARE(server.requestCount(Release::databaseVersionPath()), programPackage ? 0 : 1);

    QCOMPARE(app.configBytes(), configBefore);
    const TreeSnapshot appAfter = snapshotTree(app.path(), runArtefacts());
    QVERIFY2(appAfter == appBefore, qPrintable(describeDifference(appBefore, appAfter)));
    const TreeSnapshot outsideAfter = snapshotTree(app.rootPath(), outsideIgnored);
    QVERIFY2(
        outsideAfter == outsideBefore, qPrintable(describeDifference(outsideBefore, outsideAfter)));
    QVERIFY(!QFileInfo::exists(absoluteTarget));
}

// What the extraction does with an entry whose data runs past its declared size: it reads
// the declared bytes and stops, so a small declaration cannot fill the disk. With a
// checksum that matches those bytes the entry even installs, at its declared size.
void TestHostilePackages::dataBeyondDeclaredSizeIsNeverWritten()
{
    const int realSize = 8 << 20;
    const quint32 declared = 100;
    const QByteArray archive
        = understatedZip(realSize, declared, zipCrc32(QByteArray(int(declared), '\0')));
    QVERIFY(!archive.isEmpty());
    QVERIFY(archive.size() < realSize / 100);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("understated.zip"));
    QVERIFY(writeFileBytes(path, archive));
    QuaZip zip(path);
    QVERIFY(zip.open(QuaZip::mdUnzip));
    QVERIFY(zip.goToFirstFile());
    QuaZipFile file(&zip);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().size(), int(declared));
    file.close();
    QCOMPARE(file.getZipError(), UNZ_OK);
    zip.close();

    AppDir app;
    FaultServer server;
    prepare(app, server);
    if (QTest::currentTestFailed())
        return;
    server.setBehaviour(Release::programVersionPath(), FaultServer::ok("1.000"));
    server.setBehaviour(Release::databaseVersionPath(), FaultServer::ok("1.001"));
    server.setBehaviour(
        Release::databasePackagePath(QStringLiteral("1.001")), FaultServer::ok(archive));
    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(QFileInfo(app.filePath(QStringLiteral("zeros.bin"))).size(), qint64(declared));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
}

QTEST_GUILESS_MAIN(TestHostilePackages)

#include "tst_hostilepackages.moc"
