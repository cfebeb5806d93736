#include "differential.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

IndexEntry entryAt(
    const QString& path, qint64 offset, qint64 length, const QByteArray& contents = {})
{
    IndexEntry entry;
    entry.path = path;
    entry.offset = offset;
    entry.length = length;
    entry.size = contents.size();
    entry.digest = contentDigest(contents);
    return entry;
}

// Records of the given lengths laid out one after another from offset 0.
PackageIndex layout(const QVector<qint64>& lengths, qint64 archiveLength)
{
    PackageIndex index;
    qint64 offset = 0;
    for (int i = 0; i < lengths.size(); ++i) {
        index.entries.append(entryAt(QStringLiteral("f%1").arg(i), offset, lengths[i]));
        offset += lengths[i];
    }
    index.archiveLength = archiveLength;
    index.directoryOffset = offset;
    return index;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

using Ranges = QVector<QVector<qint64>>; // {offset, length, entries...}
Q_DECLARE_METATYPE(QVector<qint64>)

class DifferentialTest : public QObject {
    Q_OBJECT

private slots:
    void mergesNeighbouringRecords_data();
    void mergesNeighbouringRecords();
    void takesTheWholePackageBeyondHalf_data();
    void takesTheWholePackageBeyondHalf();
    void comparesInstalledFiles_data();
    void comparesInstalledFiles();
};

void DifferentialTest::mergesNeighbouringRecords_data()
{
    QTest::addColumn<QVector<qint64>>("lengths");
    QTest::addColumn<QVector<int>>("wanted");
    QTest::addColumn<qint64>("maxGap");
    QTest::addColumn<Ranges>("ranges");

    const QVector<qint64> lengths { 1000, 100000, 500, 500, 70000, 10 };
    QTest::newRow("nothing") << lengths << QVector<int> {} << rangeMergeGap << Ranges {};
    QTest::newRow("one") << lengths << QVector<int> { 1 } << rangeMergeGap
                         << Ranges { { 1000, 100000, 1 } };
    QTest::newRow("adjacent") << lengths << QVector<int> { 2, 3 } << rangeMergeGap
                              << Ranges { { 101000, 1000, 2, 3 } };
    QTest::newRow("small gap merged")
        << lengths << QVector<int> { 0, 2 } << qint64(100000) << Ranges { { 0, 101500, 0, 2 } };
    QTest::newRow("large gap kept apart") << lengths << QVector<int> { 0, 2 } << rangeMergeGap
                                          << Ranges { { 0, 1000, 0 }, { 101000, 500, 2 } };
    QTest::newRow("gap of exactly the limit merged")
        << lengths << QVector<int> { 3, 5 } << qint64(70000) << Ranges { { 101500, 70510, 3, 5 } };
    QTest::newRow("gap one beyond the limit") << lengths << QVector<int> { 3, 5 } << qint64(69999)
                                              << Ranges { { 101500, 500, 3 }, { 172000, 10, 5 } };
    QTest::newRow("unordered input")
        << lengths << QVector<int> { 5, 0, 3, 2 } << rangeMergeGap
        << Ranges { { 0, 1000, 0 }, { 101000, 1000, 2, 3 }, { 172000, 10, 5 } };
}

void DifferentialTest::mergesNeighbouringRecords()
{
    QFETCH(QVector<qint64>, lengths);
    QFETCH(QVector<int>, wanted);
    QFETCH(qint64, maxGap);
    QFETCH(Ranges, ranges);
    const PackageIndex index = layout(lengths, 1 << 30);
    const QVector<FetchRange> merged = mergeRanges(index, wanted, maxGap);
    Ranges actual;
    for (const FetchRange& range : merged) {
        QVector<qint64> row { range.offset, range.length };
        for (const int i : range.entries)
            row.append(i);
        actual.append(row);
    }
    QCOMPARE(actual, ranges);
}

void DifferentialTest::takesTheWholePackageBeyondHalf_data()
{
    QTest::addColumn<QVector<int>>("wanted");
    QTest::addColumn<qint64>("fetchBytes");
    QTest::addColumn<bool>("whole");

    // Records of 100, 300, 200, 400 bytes in an archive of 1000 (directory included).
    QTest::newRow("none") << QVector<int> {} << qint64(0) << false;
    QTest::newRow("a tenth") << QVector<int> { 0 } << qint64(100) << false;
    QTest::newRow("exactly half") << QVector<int> { 1, 2 } << qint64(500) << false;
    QTest::newRow("largest record") << QVector<int> { 3 } << qint64(400) << false;
    QTest::newRow("records beyond half") << QVector<int> { 0, 1, 2 } << qint64(600) << true;
    QTest::newRow("gap counted") << QVector<int> { 0, 2 } << qint64(600) << true;
    QTest::newRow("all") << QVector<int> { 0, 1, 2, 3 } << qint64(1000) << true;
}

void DifferentialTest::takesTheWholePackageBeyondHalf()
{
    QFETCH(QVector<int>, wanted);
    QFETCH(qint64, fetchBytes);
    QFETCH(bool, whole);
    PackageIndex index = layout({ 100, 300, 200, 400 }, 1000);
    index.directoryOffset = 1000 - 22;
    const DifferentialPlan plan = planDifferential(index, wanted, 1000);
    QCOMPARE(plan.fetchBytes, fetchBytes);
    qint64 records = 0;
    for (const int i : wanted)
        records += index.entries[i].length;
    QCOMPARE(plan.recordBytes, records);
    QCOMPARE(!plan.wholePackageReason.isEmpty(), whole);
    if (whole)
        QCOMPARE(plan.wholePackageReason,
            QStringLiteral("differing files take %1 of 1000 bytes").arg(fetchBytes));
}

void DifferentialTest::comparesInstalledFiles_data()
{
    QTest::addColumn<QByteArray>("installed"); // null: no file
    QTest::addColumn<bool>("differs");
    QTest::addColumn<bool>("damaged");

    QTest::newRow("same") << QByteArray("contents") << false << false;
    QTest::newRow("missing") << QByteArray() << true << true;
    QTest::newRow("shorter") << QByteArray("content") << true << true;
    QTest::newRow("longer") << QByteArray("contents!") << true << true;
    QTest::newRow("same size, other bytes") << QByteArray("Contents") << true << false;
}

void DifferentialTest::comparesInstalledFiles()
{
    QFETCH(QByteArray, installed);
    QFETCH(bool, differs);
    QFETCH(bool, damaged);
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const IndexEntry entry = entryAt("lib/a.dll", 0, 100, "contents");
    const IndexEntry other = entryAt("b.dll", 100, 100, "other");
    QVERIFY(writeFile(appDir.filePath("b.dll"), "other"));
    if (!installed.isNull())
        QVERIFY(writeFile(appDir.filePath("lib/a.dll"), installed));
    QCOMPARE(installedPath(appDir.path(), entry), appDir.filePath("lib/a.dll"));
    QCOMPARE(installedFileDiffers(appDir.path(), entry), differs);
    QCOMPARE(installedFileDamaged(appDir.path(), entry), damaged);
    PackageIndex index;
    index.entries = { other, entry };
    const QVector<int> expected = differs ? QVector<int> { 1 } : QVector<int> {};
    QCOMPARE(selectEntries(index,
                 [&](const IndexEntry& e) { return installedFileDiffers(appDir.path(), e); }),
        expected);
    // A directory where the file belongs is no installed file.
    if (installed.isNull()) {
        QVERIFY(QDir().mkpath(appDir.filePath("lib/a.dll")));
        QVERIFY(installedFileDamaged(appDir.path(), entry));
    }
}

QTEST_GUILESS_MAIN(DifferentialTest)
#include "tst_differential.moc"
