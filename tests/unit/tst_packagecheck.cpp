#include "packagecheck.h"
#include "zipbuilder.h"

#include <quazip/JlCompress.h>
#include <quazip/quazip.h>
#include <quazip/quazipfileinfo.h>

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

Q_DECLARE_METATYPE(QVector<ZipEntry>)
Q_DECLARE_METATYPE(QVector<RawZipEntry>)

static constexpr qint64 plenty = qint64(1) << 40;

class PackageCheckTest : public QObject {
    Q_OBJECT

private slots:
    void unsafeEntryName_data();
    void unsafeEntryName();
    void refusePackage_data();
    void refusePackage();
    void declaredSizesDoNotWrapAround_data();
    void declaredSizesDoNotWrapAround();
    void unreadableArchivePassesAndExtractsToNothing_data();
    void unreadableArchivePassesAndExtractsToNothing();
    void symlinkEntryLetsExtractionWriteOutsideTarget();
    void nonUtf8EntryNameIsRefused();
    void decodedNamesAreChecked_data();
    void decodedNamesAreChecked();

private:
    QTemporaryDir dir;
};

void PackageCheckTest::unsafeEntryName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("unsafe");

    QTest::newRow("plain file") << "Orbelan.exe" << false;
    QTest::newRow("file in a directory") << "lib/a.dll" << false;
    QTest::newRow("directory") << "dir/" << false;
    QTest::newRow("backslash inside") << "lib\\a.dll" << false;
    QTest::newRow("dots inside a name") << "a..b" << false;
    QTest::newRow("three dots") << "..." << false;
    QTest::newRow("leading dots in a name") << "..x/y" << false;
    QTest::newRow("chinese name") << QStringLiteral("题库/数据.db") << false;
    QTest::newRow("part of 255 bytes") << QString(255, QLatin1Char('a')) << false;

    QTest::newRow("parent") << "../x" << true;
    QTest::newRow("parent only") << ".." << true;
    QTest::newRow("parent at the end") << "a/.." << true;
    QTest::newRow("parent deeper") << "a/../../x" << true;
    QTest::newRow("parent with backslash") << "..\\x" << true;
    QTest::newRow("parent after backslash") << "a\\..\\..\\x" << true;
    QTest::newRow("absolute") << "/etc/passwd" << true;
    QTest::newRow("absolute with backslash") << "\\x" << true;
    QTest::newRow("network share") << "\\\\server\\share\\x" << true;
    QTest::newRow("drive and slash") << "C:/x" << true;
    QTest::newRow("drive relative") << "c:x" << true;
    QTest::newRow("part of 300 bytes")
        << QStringLiteral("lib/") + QString(300, QLatin1Char('a')) << true;
    QTest::newRow("part of 256 bytes in UTF-8") << QString(128, QChar(0x00e9)) << true;
    QTest::newRow("line feed") << "a\nb.dll" << true;
    QTest::newRow("tab") << "a\tb.dll" << true;
    QTest::newRow("nul") << QString::fromLatin1("a\0b", 3) << true;
    QTest::newRow("replacement character") << QStringLiteral("a\uFFFDb.dll") << true;
}

void PackageCheckTest::unsafeEntryName()
{
    QFETCH(QString, name);
    QFETCH(bool, unsafe);
    const QString reason = ::unsafeEntryName(name);
    QVERIFY2(reason.isEmpty() != unsafe, qPrintable(QStringLiteral("reason: ") + reason));
}

void PackageCheckTest::refusePackage_data()
{
    QTest::addColumn<QVector<ZipEntry>>("entries");
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<qint64>("limitBytes");
    // Empty when the package passes; otherwise texts the refusal must name.
    QTest::addColumn<QStringList>("refusalNames");

    const QByteArray kilo(1000, 'k');
    const QByteArray fiveKilo(5000, 'x');

    QTest::newRow("clean package") << QVector<ZipEntry> { ZipEntry::file("Orbelan.exe"),
        ZipEntry::directory("lib/"), ZipEntry::file("lib/a.dll"), ZipEntry::file("Config.ini") }
                                   << plenty << maxUnpackedBytes << QStringList();
    QTest::newRow("symbolic link followed by a file through it")
        << QVector<ZipEntry> { ZipEntry::symlink("lnk", "/tmp/somewhere"), ZipEntry::file("lnk/x") }
        << plenty << maxUnpackedBytes << QStringList { "lnk", "symbolic link" };
    QTest::newRow("symbolic link after clean entries")
        << QVector<ZipEntry> { ZipEntry::file("a.dll"), ZipEntry::symlink("b.dll", "a.dll") }
        << plenty << maxUnpackedBytes << QStringList { "b.dll", "symbolic link" };
    QTest::newRow("parent entry") << QVector<ZipEntry> { ZipEntry::file("../x") } << plenty
                                  << maxUnpackedBytes << QStringList { "../x" };
    QTest::newRow("absolute entry")
        << QVector<ZipEntry> { ZipEntry::file("a.dll"), ZipEntry::file("/etc/passwd") } << plenty
        << maxUnpackedBytes << QStringList { "/etc/passwd" };
    QTest::newRow("beyond the limit") << QVector<ZipEntry> { ZipEntry::file("big.bin", fiveKilo) }
                                      << plenty << qint64(1000) << QStringList { "1000" };
    QTest::newRow("total beyond the limit") << QVector<ZipEntry> {
        ZipEntry::file("a.bin", QByteArray(600, 'a')), ZipEntry::file("b.bin", QByteArray(600, 'b'))
    } << plenty << qint64(1000) << QStringList { "1000" };
    QTest::newRow("exactly the limit") << QVector<ZipEntry> { ZipEntry::file("k.bin", kilo) }
                                       << plenty << qint64(1000) << QStringList();
    QTest::newRow("beyond free space")
        << QVector<ZipEntry> { ZipEntry::file("big.bin", fiveKilo) } << qint64(1000)
        << maxUnpackedBytes << QStringList { "5000", "1000" };
    QTest::newRow("exactly the free space") << QVector<ZipEntry> { ZipEntry::file("k.bin", kilo) }
                                            << qint64(1000) << maxUnpackedBytes << QStringList();
    // QStorageInfo reports -1 when it cannot tell; that must not block every update.
    QTest::newRow("free space unknown") << QVector<ZipEntry> { ZipEntry::file("k.bin", kilo) }
                                        << qint64(-1) << maxUnpackedBytes << QStringList();
}

void PackageCheckTest::refusePackage()
{
    QFETCH(QVector<ZipEntry>, entries);
    QFETCH(qint64, freeBytes);
    QFETCH(qint64, limitBytes);
    QFETCH(QStringList, refusalNames);

    const QString archive = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".zip");
    QVERIFY(writeZip(archive, entries));
    const QString reason = ::refusePackage(archive, freeBytes, limitBytes);
    if (refusalNames.isEmpty()) {
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        return;
    }
    QVERIFY(!reason.isEmpty());
    for (const QString& name : refusalNames)
        QVERIFY2(reason.contains(name), qPrintable(reason));
}

void PackageCheckTest::declaredSizesDoNotWrapAround_data()
{
    QTest::addColumn<DeclaredSizes>("entries");
    QTest::addColumn<bool>("refused");

    QTest::newRow("honest sizes") << DeclaredSizes { { "a.bin", 5000 } } << false;
    QTest::newRow("one entry beyond the signed range")
        << DeclaredSizes { { "huge.bin", ~quint64(0) } } << true;
    QTest::newRow("huge entry after a small one")
        << DeclaredSizes { { "a.bin", 5000 }, { "huge.bin", ~quint64(0) - 4095 } } << true;
}

void PackageCheckTest::declaredSizesDoNotWrapAround()
{
    QFETCH(DeclaredSizes, entries);
    QFETCH(bool, refused);

    const QString archive = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".zip");
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray bytes = declaredSizesZip(entries);
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();

    QuaZip zip(archive);
    QVERIFY(zip.open(QuaZip::mdUnzip));
    const QList<QuaZipFileInfo64> infos = zip.getFileInfoList64();
    QCOMPARE(infos.size(), entries.size());
    QCOMPARE(infos.last().uncompressedSize, entries.last().second);

    const QString reason = ::refusePackage(archive, plenty);
    QVERIFY2(reason.isEmpty() != refused, qPrintable(reason));
}

void PackageCheckTest::unreadableArchivePassesAndExtractsToNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");

    QByteArray truncated;
    {
        const QString valid = dir.filePath("valid-for-truncation.zip");
        QVERIFY(writeZip(valid, { ZipEntry::file("a.dll", QByteArray(4000, 'a')) }));
        QFile file(valid);
        QVERIFY(file.open(QIODevice::ReadOnly));
        truncated = file.readAll();
        truncated.chop(truncated.size() / 2);
    }

    QTest::newRow("error page") << QByteArray("<html><body>404 Not Found</body></html>") << true;
    QTest::newRow("empty file") << QByteArray() << true;
    QTest::newRow("truncated archive") << truncated << true;
    QTest::newRow("missing file") << QByteArray() << false;
}

void PackageCheckTest::unreadableArchivePassesAndExtractsToNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString archive = work.filePath("package.zip");
    if (exists) {
        QFile file(archive);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), qint64(content.size()));
    }
    QCOMPARE(::refusePackage(archive, plenty), QString());
    QCOMPARE(JlCompress::extractDir(archive, work.filePath("update")), QStringList());
}

// Why the check exists: the extraction itself follows a symbolic link that an earlier
// entry created and writes the later entry wherever the link points.
void PackageCheckTest::symlinkEntryLetsExtractionWriteOutsideTarget()
{
#ifdef Q_OS_WIN
    QSKIP("the extraction makes no symbolic links on Windows");
#endif
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString outside = work.filePath("outside");
    const QString target = work.filePath("update");
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(target));
    const QString archive = work.filePath("escape.zip");
    QVERIFY(writeZip(archive,
        { ZipEntry::symlink("lnk", outside), ZipEntry::file("lnk/x", "written outside") }));

    const QStringList extracted = JlCompress::extractDir(archive, target);
    QCOMPARE(extracted, QStringList({ target + "/lnk", target + "/lnk/x" }));
    QVERIFY(QFileInfo(target + "/lnk").isSymLink());
    QFile escaped(outside + "/x");
    QVERIFY2(escaped.open(QIODevice::ReadOnly), "the extraction did not follow the link");
    QCOMPARE(escaped.readAll(), QByteArray("written outside"));

    const QString reason = ::refusePackage(archive, plenty);
    QVERIFY2(reason.contains("lnk"), qPrintable(reason));
}

// Names without the UTF-8 flag are decoded as GBK whatever the locale, by the check and by
// the extraction alike; bytes that are not GBK text must not reach the disk.
void PackageCheckTest::nonUtf8EntryNameIsRefused()
{
    QTextCodec* const previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const auto restore = qScopeGuard([previous] { QTextCodec::setCodecForLocale(previous); });

    ZipEntry raw = ZipEntry::file("placeholder", "data");
    raw.rawName = QByteArray("\xff\xfe"
                             "a");
    const QString archive = dir.filePath("raw-name.zip");
    QVERIFY(writeZip(archive, { ZipEntry::file("ok.dll"), raw }));

    QuaZip zip(archive);
    QVERIFY(zip.open(QuaZip::mdUnzip));
    const QList<QuaZipFileInfo64> infos = zip.getFileInfoList64();
    zip.close();
    QCOMPARE(infos.size(), 2);
    QCOMPARE(infos.at(1).name, QStringLiteral("\uFFFD\uFFFDa"));

    const QString reason = ::refusePackage(archive, plenty);
    QVERIFY2(reason.contains(infos.at(1).name), qPrintable(reason));
}

void PackageCheckTest::decodedNamesAreChecked_data()
{
    QTest::addColumn<QVector<RawZipEntry>>("entries");
    QTest::addColumn<QString>("reason");

    const quint16 windows = 0x0014;
    const quint16 mac = 0x1314;
    QTest::newRow("Unicode Path naming the parent") << QVector<RawZipEntry> {
        { "ok.dll", windows, 0, unicodePathField("../上级.dll", "ok.dll"), "x" }
    } << QStringLiteral("entry ../上级.dll: \"..\" component");
    QTest::newRow("Unicode Path naming an absolute path") << QVector<RawZipEntry> {
        { "ok.dll", windows, 0, unicodePathField("/etc/世界", "ok.dll"), "x" }
    } << QStringLiteral("entry /etc/世界: absolute path");
    QTest::newRow("stale Unicode Path is not what is checked") << QVector<RawZipEntry> {
        { "ok.dll", windows, 0, unicodePathField("../上级.dll", "other.dll"), "x" }
    } << QString();
    QTest::newRow("macOS name reported as written")
        << QVector<RawZipEntry> { { QString("世界/../x.dll").toUtf8(), mac, 0, {}, "x" } }
        << QStringLiteral("entry 世界/../x.dll: \"..\" component");
    QTest::newRow("Windows GBK name reported as written") << QVector<RawZipEntry> {
        { QTextCodec::codecForName("GBK")->fromUnicode("世界\\..\\x.dll"), windows, 0, {}, "x" }
    } << QStringLiteral("entry 世界\\..\\x.dll: \"..\" component");
}

// The check reads each name as the extraction will: a name it passes is the name written.
void PackageCheckTest::decodedNamesAreChecked()
{
    QFETCH(QVector<RawZipEntry>, entries);
    QFETCH(QString, reason);
    const QString archive = dir.filePath("decoded.zip");
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(rawEntriesZip(entries));
    file.close();
    QCOMPARE(::refusePackage(archive, plenty), reason);
}

QTEST_GUILESS_MAIN(PackageCheckTest)
#include "tst_packagecheck.moc"
