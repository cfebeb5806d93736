#include "indexrecord.h"
#include "publishing.h"

#include <zlib.h>

#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray littleEndian(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
    return out;
}

QByteArray rawDeflate(const QByteArray& data)
{
    z_stream stream {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

struct Record {
    quint16 method = 8;
    quint16 flags = 0;
    QByteArray name;
    QByteArray extra;
    QByteArray data; // unpacked
    bool descriptor = false;
};

// A local record as a zip writer lays it out.
QByteArray recordBytes(const Record& r)
{
    const QByteArray packed = r.method == 8 ? rawDeflate(r.data) : r.data;
    const quint32 crc = quint32(
        crc32(0, reinterpret_cast<const Bytef*>(r.data.constData()), uInt(r.data.size())));
    const quint16 flags = r.flags | (r.descriptor ? 0x08 : 0);
    QByteArray sizes = littleEndian(crc, 4) + littleEndian(quint32(packed.size()), 4)
        + littleEndian(quint32(r.data.size()), 4);
    QByteArray out = "PK\x03\x04" + littleEndian(20, 2) + littleEndian(flags, 2)
        + littleEndian(r.method, 2) + littleEndian(0, 4)
        + (r.descriptor ? QByteArray(12, '\0') : sizes) + littleEndian(quint32(r.name.size()), 2)
        + littleEndian(quint32(r.extra.size()), 2) + r.name + r.extra + packed;
    if (r.descriptor)
        out += "PK\x07\x08" + sizes;
    return out;
}

IndexEntry entryFor(const Record& r, qint64 length)
{
    IndexEntry entry;
    entry.path = QString::fromUtf8(r.name);
    entry.size = r.data.size();
    entry.digest = contentDigest(r.data);
    entry.length = length;
    return entry;
}

QByteArray compressible(int size)
{
    QByteArray data;
    for (int i = 0; data.size() < size; ++i)
        data += "line " + QByteArray::number(i) + " of the file\n";
    return data.left(size);
}

QByteArray random(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = char(x);
    }
    return data;
}

} // namespace

Q_DECLARE_METATYPE(Record)
Q_DECLARE_METATYPE(IndexEntry)

class IndexRecordTest : public QObject {
    Q_OBJECT

private slots:
    void extractsGoodRecords_data();
    void extractsGoodRecords();
    void refusesBadRecords_data();
    void refusesBadRecords();
    void stopsAtTheRecordsEnd();
    void extractsThePublishersRecords();
};

void IndexRecordTest::extractsGoodRecords_data()
{
    QTest::addColumn<Record>("record");
    QTest::newRow("deflated") << Record { 8, 0, "a.txt", {}, compressible(300000), false };
    QTest::newRow("deflated random") << Record { 8, 0, "b.dll", {}, random(700000), false };
    QTest::newRow("deflated with descriptor")
        << Record { 8, 0, "data/c.db", {}, compressible(90000), true };
    QTest::newRow("stored") << Record { 0, 0, "d.bin", {}, random(600000), false };
    QTest::newRow("extra field") << Record { 8, 0, "e.txt", QByteArray(28, 'x'), "hello", false };
    QTest::newRow("empty") << Record { 8, 0, "empty.txt", {}, {}, false };
    QTest::newRow("empty stored") << Record { 0, 0, "empty.bin", {}, {}, false };
    QTest::newRow("chinese name") << Record { 8, 0x0800, QStringLiteral("题库/数据.db").toUtf8(),
        {}, "x", false };
}

void IndexRecordTest::extractsGoodRecords()
{
    QFETCH(Record, record);
    QByteArray bytes = recordBytes(record);
    const IndexEntry entry = entryFor(record, bytes.size());
    // The next record's bytes follow in a fetched range.
    bytes += "PK\x03\x04 next record";
    QBuffer source(&bytes);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray out;
    QBuffer target(&out);
    QVERIFY(target.open(QIODevice::WriteOnly));
    QCOMPARE(extractRecord(&source, entry, &target), QString());
    QCOMPARE(out, record.data);
}

void IndexRecordTest::refusesBadRecords_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<IndexEntry>("entry");
    QTest::addColumn<QString>("reason");

    const Record good { 8, 0, "a.txt", {}, compressible(50000), false };
    const QByteArray bytes = recordBytes(good);
    const IndexEntry entry = entryFor(good, bytes.size());

    QByteArray flipped = bytes;
    flipped[bytes.size() - 40] = char(flipped[bytes.size() - 40] ^ 0x55);
    QTest::newRow("altered data") << flipped << entry << "";
    IndexEntry otherDigest = entry;
    otherDigest.digest = contentDigest("something else");
    QTest::newRow("other digest") << bytes << otherDigest << "contents do not match the index";
    IndexEntry larger = entry;
    larger.size += 1;
    QTest::newRow("larger in the index") << bytes << larger << "contents do not match the index";
    IndexEntry smaller = entry;
    smaller.size -= 1;
    QTest::newRow("smaller in the index") << bytes << smaller << "unpacks to more than";
    QTest::newRow("not a local header")
        << QByteArray("PK\x01\x02" + bytes.mid(4)) << entry << "no local header";
    QTest::newRow("range too short") << bytes.left(20) << entry << "no local header";
    IndexEntry truncated = entry;
    truncated.length -= 100;
    QTest::newRow("record cut short in the index") << bytes << truncated << "record ends";
    QTest::newRow("data cut short") << bytes.left(bytes.size() - 100) << entry << "record ends";
    IndexEntry tiny = entry;
    tiny.length = 34;
    QTest::newRow("header longer than the record") << bytes << tiny << "header longer";
    IndexEntry otherName = entry;
    otherName.path = "b.txt";
    QTest::newRow("another entry's record") << bytes << otherName << "record of another entry";
    const Record encrypted { 8, 0x01, "a.txt", {}, compressible(100), false };
    QTest::newRow("encrypted") << recordBytes(encrypted) << entryFor(encrypted, 200)
                               << "encrypted entry";
    QByteArray bzip2 = recordBytes({ 0, 0, "a.txt", {}, "abc", false });
    bzip2[8] = 12;
    QTest::newRow("bzip2") << bzip2 << entryFor({ 0, 0, "a.txt", {}, "abc", false }, bzip2.size())
                           << "compression method 12";
    // A small record that inflates far beyond the size the index gives.
    const Record bomb { 8, 0, "a.txt", {}, QByteArray(20 * 1024 * 1024, 'z'), false };
    const QByteArray bombBytes = recordBytes(bomb);
    IndexEntry bombEntry = entryFor(bomb, bombBytes.size());
    bombEntry.size = 1000;
    QTest::newRow("inflates beyond its size") << bombBytes << bombEntry << "more than its 1000";
}

void IndexRecordTest::refusesBadRecords()
{
    QFETCH(QByteArray, bytes);
    QFETCH(IndexEntry, entry);
    QFETCH(QString, reason);
    QBuffer source(&bytes);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray out;
    QBuffer target(&out);
    QVERIFY(target.open(QIODevice::WriteOnly));
    const QString refusal = extractRecord(&source, entry, &target);
    QVERIFY2(!refusal.isEmpty() && refusal.contains(reason), qPrintable(refusal));
    QVERIFY(out.size() <= entry.size);
}

void IndexRecordTest::stopsAtTheRecordsEnd()
{
    // A stored record whose index length ends before its data: what follows in the range
    // belongs to the next record and is never read as this one's.
    const Record stored { 0, 0, "a.bin", {}, random(5000), false };
    QByteArray bytes = recordBytes(stored);
    IndexEntry entry = entryFor(stored, bytes.size());
    entry.length -= 1;
    QBuffer source(&bytes);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QBuffer target;
    QVERIFY(target.open(QIODevice::WriteOnly));
    QCOMPARE(extractRecord(&source, entry, &target), QStringLiteral("record ends before its data"));
}

void IndexRecordTest::extractsThePublishersRecords()
{
#ifdef Q_OS_WIN
    QSKIP("the publisher runs on the Linux machine that serves the releases");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QMap<QString, QByteArray> files { { "Orbelan.exe", random(300000) },
        { "lib/a.dll", compressible(400000) }, { "lib/empty.dll", "" } };
    QCOMPARE(publishProgramRelease(dir.filePath("source"), dir.filePath("server"), "1.001", files),
        QString());
    PackageIndex index;
    QCOMPARE(readPublishedIndex(dir.filePath("server"), &index), QString());
    QFile archive(dir.filePath("server/client/program/orbelan.zip"));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    for (const IndexEntry& entry : index.entries) {
        QVERIFY(archive.seek(entry.offset));
        QByteArray out;
        QBuffer target(&out);
        QVERIFY(target.open(QIODevice::WriteOnly));
        QCOMPARE(extractRecord(&archive, entry, &target), QString());
        QCOMPARE(out, files[entry.path]);
    }
}

QTEST_GUILESS_MAIN(IndexRecordTest)
#include "tst_indexrecord.moc"
