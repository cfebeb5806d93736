#include "packageindex.h"
#include "publishing.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray digestA(64, 'a');
const QByteArray digestB(64, 'b');

// A well-formed index of a 10,000-byte archive whose directory begins at 9,000.
QByteArray goodIndex()
{
    return "orbelan-index 1\n"
           "version 1.002\n"
           "archive 10000 "
        + digestA
        + "\n"
          "directory 9000\n"
          "file 5000 "
        + digestB
        + " 0 3000 Orbelan.exe\n"
          "file 100 "
        + digestA
        + " 3000 200 data/a b.db\n"
          "file 100 "
        + digestB + " 3200 500 data/c.db\n";
}

QByteArray withLine(const QByteArray& line) { return goodIndex() + line + '\n'; }

QByteArray replaced(const QByteArray& from, const QByteArray& to)
{
    QByteArray text = goodIndex();
    return text.replace(from, to);
}

QByteArray fileLine(const QByteArray& path, qint64 offset = 3700, qint64 length = 100)
{
    return "file 1 " + digestA + ' ' + QByteArray::number(offset) + ' ' + QByteArray::number(length)
        + ' ' + path;
}

} // namespace

class PackageIndexTest : public QObject {
    Q_OBJECT

private slots:
    void readsAWellFormedIndex();
    void ignoresLinesOfLaterRevisions();
    void refusesHostileIndexes_data();
    void refusesHostileIndexes();
    void refusesTooManyEntriesEarly();
    void writesWhatItReads();
    void readsWhatThePublisherWrites();
    void digestsAreBlake2b256();
};

void PackageIndexTest::readsAWellFormedIndex()
{
    PackageIndex index;
    QCOMPARE(readPackageIndex(goodIndex(), &index), QString());
    QCOMPARE(index.version, QStringLiteral("1.002"));
    QCOMPARE(index.archiveLength, 10000);
    QCOMPARE(index.archiveDigest, QByteArray::fromHex(digestA));
    QCOMPARE(index.directoryOffset, 9000);
    QCOMPARE(index.entries.size(), 3);
    const IndexEntry& spaced = index.entries[1];
    QCOMPARE(spaced.path, QStringLiteral("data/a b.db"));
    QCOMPARE(spaced.size, 100);
    QCOMPARE(spaced.digest, QByteArray::fromHex(digestA));
    QCOMPARE(spaced.offset, 3000);
    QCOMPARE(spaced.length, 200);
    QCOMPARE(indexDirectory(spaced.path), QStringLiteral("data"));
    QCOMPARE(indexDirectory(index.entries[0].path), QString());
}

void PackageIndexTest::ignoresLinesOfLaterRevisions()
{
    PackageIndex index;
    QCOMPARE(readPackageIndex(withLine("signed-by someone 3"), &index), QString());
    QCOMPARE(index.entries.size(), 3);
}

void PackageIndexTest::refusesHostileIndexes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << QByteArray() << "does not end with a line break";
    QTest::newRow("html page") << QByteArray("<html>not found</html>\n") << "not an index";
    QTest::newRow("later format") << replaced("orbelan-index 1", "orbelan-index 2")
                                  << "not an index of this format";
    QTest::newRow("no final line break") << goodIndex().chopped(1) << "line break";
    QTest::newRow("version missing") << replaced("version 1.002\n", "") << "line missing";
    QTest::newRow("directory missing") << replaced("directory 9000\n", "") << "line missing";
    QTest::newRow("version twice") << withLine("version 1.003") << "version line twice";
    QTest::newRow("malformed version")
        << replaced("version 1.002", "version 1.02") << "malformed version line";
    QTest::newRow("negative offset") << withLine(fileLine("x.dll", -5)) << "malformed file line";
    QTest::newRow("number beyond 18 digits")
        << withLine("file 1 " + digestA + " 1234567890123456789 100 x.dll")
        << "malformed file line";
    QTest::newRow("short digest") << replaced(" " + digestB + " 0 ", " abc 0 ")
                                  << "malformed file line";
    QTest::newRow("upper-case digest")
        << replaced(digestB, digestB.toUpper()) << "malformed file line";
    QTest::newRow("too few fields")
        << withLine("file 1 " + digestA + " 3700 100") << "too few fields";
    QTest::newRow("record beyond the directory")
        << withLine(fileLine("x.dll", 8950, 100)) << "outside the archive's records";
    QTest::newRow("record overlapping the directory")
        << withLine(fileLine("x.dll", 3700, 5301)) << "outside the archive's records";
    QTest::newRow("record beyond the archive")
        << withLine(fileLine("x.dll", 20000, 100)) << "outside the archive's records";
    QTest::newRow("offset near 2^63")
        << withLine(fileLine("x.dll", Q_INT64_C(999999999999999999), Q_INT64_C(999999999999999999)))
        << "outside the archive's records";
    QTest::newRow("directory beyond the archive")
        << replaced("directory 9000", "directory 9990") << "directory offset 9990 outside";
    QTest::newRow("record shorter than its header")
        << withLine(fileLine("x.dll", 3700, 34)) << "outside the archive's records";
    QTest::newRow("overlapping records")
        << withLine(fileLine("x.dll", 3600, 100)) << "overlaps that of data/c.db";
    QTest::newRow("parent directory") << withLine(fileLine("../x.dll")) << "\"..\" component";
    QTest::newRow("absolute path") << withLine(fileLine("/etc/x.dll")) << "absolute path";
    QTest::newRow("drive letter") << withLine(fileLine("C:x.dll")) << "drive letter";
    QTest::newRow("backslash") << withLine(fileLine("data\\x.dll")) << "backslash";
    QTest::newRow("two levels") << withLine(fileLine("data/sub/x.dll"))
                                << "more than one directory level";
    QTest::newRow("directory entry") << withLine(fileLine("data/")) << "empty or \".\" name part";
    QTest::newRow("dot part") << withLine(fileLine("./x.dll")) << "empty or \".\" name part";
    QTest::newRow("empty path") << withLine(fileLine("")) << "name part";
    QTest::newRow("Config.ini") << withLine(fileLine("Config.ini")) << "Config.ini";
    QTest::newRow("config.ini in a directory")
        << withLine(fileLine("data/CONFIG.INI")) << "Config.ini";
    QTest::newRow("download directory")
        << withLine(fileLine("update/x.dll")) << "download directory";
    QTest::newRow("control character") << withLine(fileLine("x\x01.dll")) << "control character";
    QTest::newRow("not UTF-8") << withLine(fileLine("x\xff.dll")) << "not valid text";
    QTest::newRow("duplicate path") << withLine(fileLine("data/c.db")) << "listed twice";
    QTest::newRow("duplicate in another case")
        << withLine(fileLine("DATA/C.db")) << "path DATA/C.db listed twice";
    QTest::newRow("file named like a directory")
        << withLine(fileLine("Data")) << "named like a directory of the package";
    QTest::newRow("file in a directory named like one")
        << withLine(fileLine("other/data")) << "named like a directory of the package";
    QTest::newRow("more than the updater unpacks")
        << replaced("file 5000 ", "file 8589934592 ") << "unpacks to more than";
    QTest::newRow("no files") << QByteArray("orbelan-index 1\nversion 1.002\narchive 100 " + digestA
        + "\ndirectory 10\n") << "lists no files";
}

void PackageIndexTest::refusesHostileIndexes()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    PackageIndex index;
    const QString refusal = readPackageIndex(text, &index);
    QVERIFY2(refusal.contains(reason), qPrintable(refusal));
}

void PackageIndexTest::refusesTooManyEntriesEarly()
{
    QByteArray text = "orbelan-index 1\nversion 1.002\narchive 99999999999 " + digestA
        + "\ndirectory 99999999000\n";
    for (int i = 0; i <= indexEntryLimit; ++i)
        text += fileLine("f" + QByteArray::number(i), qint64(i) * 100, 100) + '\n';
    PackageIndex index;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(readPackageIndex(text, &index),
        QStringLiteral("line %1: more than %2 entries")
            .arg(indexEntryLimit + 5)
            .arg(indexEntryLimit));
    text.chop(text.size() - text.lastIndexOf("file "));
    QCOMPARE(readPackageIndex(text, &index), QString());
    QCOMPARE(index.entries.size(), indexEntryLimit);
    QVERIFY2(timer.elapsed() < 10000, "reading the largest index takes long");
    QVERIFY(readPackageIndex(QByteArray(indexFileLimit + 1, '\n'), &index).contains("larger than"));
}

void PackageIndexTest::writesWhatItReads()
{
    PackageIndex index;
    QCOMPARE(readPackageIndex(goodIndex(), &index), QString());
    QCOMPARE(writePackageIndex(index), goodIndex());
    index.entries.removeAt(1);
    PackageIndex again;
    QCOMPARE(readPackageIndex(writePackageIndex(index), &again), QString());
    QCOMPARE(again.entries.size(), 2);
    QCOMPARE(again.entries[1].path, QStringLiteral("data/c.db"));
}

void PackageIndexTest::readsWhatThePublisherWrites()
{
#ifdef Q_OS_WIN
    QSKIP("the publisher runs on the Linux machine that serves the releases");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QMap<QString, QByteArray> files { { "Orbelan.exe", QByteArray(70000, 'x') },
        { QStringLiteral("题库/数据 1.db"), "questions" }, { "data/empty.db", "" },
        { "readme.txt", "read me" } };
    QCOMPARE(publishProgramRelease(dir.filePath("source"), dir.filePath("server"), "1.004", files),
        QString());
    PackageIndex index;
    QCOMPARE(readPublishedIndex(dir.filePath("server"), &index), QString());
    QCOMPARE(index.version, QStringLiteral("1.004"));
    const QString archive = dir.filePath("server/client/program/orbelan.zip");
    QCOMPARE(index.archiveLength, QFileInfo(archive).size());
    QCOMPARE(index.archiveDigest, fileDigest(archive));
    QCOMPARE(index.entries.size(), files.size());
    for (const IndexEntry& entry : index.entries) {
        QVERIFY2(files.contains(entry.path), qPrintable(entry.path));
        QCOMPARE(entry.size, files[entry.path].size());
        QCOMPARE(entry.digest, contentDigest(files[entry.path]));
        QCOMPARE(entry.digest, fileDigest(dir.filePath("source/" + entry.path)));
    }
}

void PackageIndexTest::digestsAreBlake2b256()
{
    // hashlib.blake2b(b"abc", digest_size=32).hexdigest()
    QCOMPARE(contentDigest("abc").toHex(),
        QByteArray("bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319"));
    QCOMPARE(fileDigest("/no/such/file"), QByteArray());
}

QTEST_GUILESS_MAIN(PackageIndexTest)
#include "tst_packageindex.moc"
