// Packages as Chinese Windows tools make them: names in GBK without the UTF-8 flag, "\" as
// the separator. They must land where Windows' own extraction puts the same entries.
#include "extraction.h"
#include "installrule.h"
#include "packagecheck.h"
#include "zipbuilder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(QVector<ZipEntry>)
Q_DECLARE_METATYPE(QVector<RawZipEntry>)

static constexpr qint64 plenty = qint64(1) << 40;

// An entry whose name is stored as the given bytes, without the UTF-8 flag. Its content is
// the path where Windows extraction puts it, so a misplaced file shows in a comparison.
static ZipEntry rawEntry(const QByteArray& bytes, const QString& windowsPath)
{
    const bool directory = bytes.endsWith('/') || bytes.endsWith('\\');
    ZipEntry entry = directory ? ZipEntry::directory(windowsPath)
                               : ZipEntry::file(windowsPath, windowsPath.toUtf8());
    entry.rawName = bytes;
    return entry;
}

static ZipEntry gbk(const QString& name, const QString& windowsPath)
{
    return rawEntry(QTextCodec::codecForName("GBK")->fromUnicode(name), windowsPath);
}

static QByteArray fixture(const QString& name)
{
    QFile file(QFINDTESTDATA("../fixtures/names/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static const quint16 madeOnWindows = 0x0014; // host 0, MS-DOS/FAT
static const quint16 madeOnNtfs = 0x0a14; // host 10, Windows NTFS
static const quint16 madeOnUnix = 0x031e; // host 3
static const quint16 madeOnMac = 0x1314; // host 19, OS X

static RawZipEntry rawZipEntry(const QByteArray& name, quint16 versionMadeBy,
    const QByteArray& extra = QByteArray(), quint16 flags = 0)
{
    const bool directory = name.endsWith('/') || name.endsWith('\\');
    return RawZipEntry { name, versionMadeBy, flags, extra, directory ? "" : "x" };
}

static QByteArray gbkBytes(const QString& name)
{
    return QTextCodec::codecForName("GBK")->fromUnicode(name);
}

// Every path below `root`, relative to it, directories ending in "/".
static QStringList treeBelow(const QString& root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        paths << path.mid(root.size() + 1) + (QFileInfo(path).isDir() ? "/" : "");
    }
    paths.sort();
    return paths;
}

class ExtractionTest : public QObject {
    Q_OBJECT

private slots:
    void entriesLandWhereWindowsPutsThem_data();
    void entriesLandWhereWindowsPutsThem();
    void installationPlacesWindowsPackageLikeWindows();
    void bytesThatAreNotGbkAreRefused_data();
    void bytesThatAreNotGbkAreRefused();
    void brokenArchiveExtractsNothingAndLeavesNothing();
    void namesAsTheirToolsMeantThem_data();
    void namesAsTheirToolsMeantThem();
    void installationPlacesUnixPackageUnderItsNames();
};

void ExtractionTest::entriesLandWhereWindowsPutsThem_data()
{
    QTest::addColumn<QVector<ZipEntry>>("entries");
    // Paths below the extraction directory as the extraction returns them, in order.
    QTest::addColumn<QStringList>("extracted");

    QTest::newRow("GBK names with slashes")
        << QVector<ZipEntry> { gbk("题库/", "题库/"), gbk("题库/第一章.db", "题库/第一章.db") }
        << QStringList { "题库/", "题库/第一章.db" };
    QTest::newRow("GBK names with backslashes")
        << QVector<ZipEntry> { gbk("题库\\", "题库/"), gbk("题库\\第一章.db", "题库/第一章.db") }
        << QStringList { "题库/", "题库/第一章.db" };
    QTest::newRow("backslash file without its directory entry")
        << QVector<ZipEntry> { gbk("data\\sub\\q001.dat", "data/sub/q001.dat") }
        << QStringList { "data/sub/q001.dat" };
    QTest::newRow("UTF-8 flagged names stay UTF-8") << QVector<ZipEntry> {
        ZipEntry::directory("题库/"), ZipEntry::file("题库/第二章.db", "题库/第二章.db")
    } << QStringList { "题库/", "题库/第二章.db" };
    QTest::newRow("ASCII names") << QVector<ZipEntry> { ZipEntry::file("Orbelan.exe",
        "Orbelan.exe") } << QStringList { "Orbelan.exe" };
}

void ExtractionTest::entriesLandWhereWindowsPutsThem()
{
    QFETCH(QVector<ZipEntry>, entries);
    QFETCH(QStringList, extracted);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString archive = work.filePath("package.zip");
    const QString target = work.filePath("update");
    QVERIFY(writeZip(archive, entries));

    QCOMPARE(::refusePackage(archive, plenty), QString());
    QStringList expected;
    for (const QString& path : extracted)
        expected << target + '/' + path;
    QCOMPARE(extractPackage(archive, target), expected);
    for (const QString& path : extracted) {
        if (path.endsWith('/')) {
            QVERIFY2(QFileInfo(target + '/' + path).isDir(), qPrintable(path));
        } else {
            QFile file(target + '/' + path);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
            QCOMPARE(QString::fromUtf8(file.readAll()), path);
        }
    }
    // Nothing under a literal name with a backslash or a mis-decoded name.
    QDirIterator it(target, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = it.next().mid(target.size() + 1);
        const bool expected = std::any_of(extracted.begin(), extracted.end(),
            [&](const QString& path) { return (path + '/').startsWith(relative + '/'); });
        QVERIFY2(expected, qPrintable(relative));
    }
}

// The whole way from archive to installation: the same targets as on Windows.
void ExtractionTest::installationPlacesWindowsPackageLikeWindows()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString archive = app.filePath("package.zip");
    QVERIFY(writeZip(archive,
        { gbk("题库\\", "题库/"), gbk("题库\\第一章.db", "题库/第一章.db"),
            gbk("说明.txt", "说明.txt") }));
    const QStringList extracted = extractPackage(archive, app.filePath("update"));
    QCOMPARE(extracted.size(), 3);

    const QVector<InstallAction> plan = planInstallation(extracted, app.path(), "update",
        [](const QString& path) { return QFileInfo(path).isDir(); });
    QCOMPARE(plan.size(), 3);
    QCOMPARE(plan.at(0).kind, InstallAction::MakeDirectory);
    QCOMPARE(plan.at(0).target, app.filePath("题库"));
    QCOMPARE(plan.at(1).kind, InstallAction::InstallFile);
    QCOMPARE(plan.at(1).target, app.filePath("题库/第一章.db"));
    QCOMPARE(plan.at(2).target, app.filePath("说明.txt"));
}

void ExtractionTest::bytesThatAreNotGbkAreRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("bytes outside GBK") << QByteArray("bad\xff\xfe"
                                                     "name.dll");
    QTest::newRow("lead byte without its trail byte") << QByteArray("a\xd6");
    QTest::newRow("lead byte before a path separator") << QByteArray("\xd6/x.dll");
}

// Qt's own GBK codec turns such bytes into private-use characters or drops them; either
// would write a file under a name nobody made.
void ExtractionTest::bytesThatAreNotGbkAreRefused()
{
    QFETCH(QByteArray, name);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString archive = work.filePath("package.zip");
    QVERIFY(writeZip(archive, { ZipEntry::file("ok.dll"), rawEntry(name, "x") }));

    const QString reason = ::refusePackage(archive, plenty);
    QVERIFY2(reason.endsWith(": name is not valid text"), qPrintable(reason));
    QVERIFY2(reason.contains(QChar::ReplacementCharacter), qPrintable(reason));
}

void ExtractionTest::brokenArchiveExtractsNothingAndLeavesNothing()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString archive = work.filePath("package.zip");
    const QString target = work.filePath("update");
    QByteArray bytes = archiveBytes(
        { gbk("a.dll", "a.dll"), ZipEntry::file("b.dll", QByteArray(64 * 1024, 'b')) });
    QVERIFY(!bytes.isEmpty());
    // Damage the second entry's compressed data: the first extracts, the second fails.
    const int second = bytes.indexOf("b.dll");
    QVERIFY(second > 0);
    for (int i = second + 5; i < second + 40; ++i)
        bytes[i] = char(~bytes[i]);
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();

    QCOMPARE(extractPackage(archive, target), QStringList());
    QVERIFY(!QFileInfo::exists(target + "/a.dll"));
    QCOMPARE(extractPackage(work.filePath("missing.zip"), target), QStringList());
}

void ExtractionTest::namesAsTheirToolsMeantThem_data()
{
    QTest::addColumn<QByteArray>("archive");
    // Paths below the extraction directory, in archive order.
    QTest::addColumn<QStringList>("extracted");

    const QStringList chinese { "世界/", "世界/世界.dll", "你好.txt" };
    QTest::newRow("Info-ZIP zip on Unix") << fixture("infozip-unix-utf8.zip") << chinese;
    QTest::newRow("7-Zip -mcl=on, Unicode Path fields")
        << fixture("7zip-mcl-unicode-path.zip") << chinese;

    const QByteArray world = QString("世界/世界.dll").toUtf8();
    QTest::newRow("macOS UTF-8 name without the flag")
        << rawEntriesZip({ rawZipEntry("世界/", madeOnMac), rawZipEntry(world, madeOnMac) })
        << QStringList { "世界/", "世界/世界.dll" };
    QTest::newRow("Unix name that is not UTF-8 is GBK")
        << rawEntriesZip({ rawZipEntry(gbkBytes("题库.db"), madeOnUnix) })
        << QStringList { "题库.db" };
    QTest::newRow("Windows GBK names")
        << rawEntriesZip({ rawZipEntry(gbkBytes("世界\\"), madeOnWindows),
               rawZipEntry(gbkBytes("世界\\世界.dll"), madeOnWindows),
               rawZipEntry(gbkBytes("说明.txt"), madeOnNtfs) })
        << QStringList { "世界/", "世界/世界.dll", "说明.txt" };
    // The same bytes as the macOS row: from Windows they can only be GBK.
    QTest::newRow("UTF-8 bytes from Windows are GBK")
        << rawEntriesZip({ rawZipEntry("\xe4\xb8\x96\xe7\x95\x8c.dll", madeOnWindows) })
        << QStringList { "涓栫晫.dll" };

    const QByteArray stored = gbkBytes("旧.dll");
    QTest::newRow("Unicode Path whose CRC matches")
        << rawEntriesZip({ rawZipEntry(stored, madeOnWindows, unicodePathField("新.dll", stored)),
               rawZipEntry("a.txt", madeOnUnix, unicodePathField("世界.txt", "a.txt")) })
        << QStringList { "新.dll", "世界.txt" };
    QTest::newRow("Unicode Path with a stale CRC")
        << rawEntriesZip({ rawZipEntry(stored, madeOnWindows, unicodePathField("新.dll", "x")),
               rawZipEntry("a.txt", madeOnUnix, unicodePathField("世界.txt", "b.txt")) })
        << QStringList { "旧.dll", "a.txt" };
    QTest::newRow("Unicode Path after another extra field") << rawEntriesZip(
        { rawZipEntry(stored, madeOnWindows,
            QByteArray("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9)
                + unicodePathField("新.dll", stored)) }) << QStringList { "新.dll" };
    QTest::newRow("flagged name ignores Unicode Path") << rawEntriesZip(
        { rawZipEntry(world, madeOnWindows, unicodePathField("a.dll", world), 0x0800) })
                                                       << QStringList { "世界/世界.dll" };
}

// Each tool's names reach the disk as the person who made the archive saw them, the same
// in the package check and the extraction.
void ExtractionTest::namesAsTheirToolsMeantThem()
{
    QFETCH(QByteArray, archive);
    QFETCH(QStringList, extracted);
    QVERIFY(!archive.isEmpty());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString path = work.filePath("package.zip");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(archive);
    file.close();
    const QString target = work.filePath("update");

    QCOMPARE(::refusePackage(path, plenty), QString());
    QStringList expected;
    for (const QString& name : extracted)
        expected << target + '/' + name;
    QCOMPARE(extractPackage(path, target), expected);
    QStringList onDisk = extracted;
    for (const QString& name : extracted) {
        const int slash = name.lastIndexOf('/', -2);
        if (slash > 0 && !onDisk.contains(name.left(slash + 1)))
            onDisk << name.left(slash + 1);
    }
    onDisk.sort();
    QCOMPARE(treeBelow(target), onDisk);
}

// A package made with zip on Linux installs under its Chinese names.
void ExtractionTest::installationPlacesUnixPackageUnderItsNames()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString archive = app.filePath("package.zip");
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(fixture("infozip-unix-utf8.zip"));
    file.close();
    const QStringList extracted = extractPackage(archive, app.filePath("update"));
    QCOMPARE(extracted.size(), 3);

    const QVector<InstallAction> plan = planInstallation(extracted, app.path(), "update",
        [](const QString& path) { return QFileInfo(path).isDir(); });
    QCOMPARE(plan.size(), 3);
    QCOMPARE(plan.at(0).kind, InstallAction::MakeDirectory);
    QCOMPARE(plan.at(0).target, app.filePath("世界"));
    QCOMPARE(plan.at(1).target, app.filePath("世界/世界.dll"));
    QCOMPARE(plan.at(2).target, app.filePath("你好.txt"));
    QFile dll(plan.at(1).source);
    QVERIFY(dll.open(QIODevice::ReadOnly));
    QCOMPARE(dll.readAll(), QByteArray("hello\n"));
}

QTEST_GUILESS_MAIN(ExtractionTest)
#include "tst_extraction.moc"
