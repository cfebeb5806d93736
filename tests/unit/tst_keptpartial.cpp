#include "keptpartial.h"
#include "signature.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

KeptPartial sample(qint64 size)
{
    KeptPartial partial;
    partial.packageType = 1;
    partial.version = QStringLiteral("1.003");
    partial.url = QStringLiteral("http://127.0.0.1:8080/client/dll/v1.003.zip");
    partial.validator = "\"5f3a-2000\"";
    partial.total = 2000;
    partial.size = size;
    return partial;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestKeptPartial : public QObject {
    Q_OBJECT

private slots:
    void keptBytesComeBackWhole();
    void leftoversThatDoNotDescribeTheBytesAreDropped_data();
    void leftoversThatDoNotDescribeTheBytesAreDropped();
    void nothingIsKeptThatCannotBeResumed_data();
    void nothingIsKeptThatCannotBeResumed();
    void aNewPartialReplacesTheOldOne();
    void wholePackageIsKeptWithoutAValidator();
    void hashOfKeptBytesMatchesTheWholeFile();
};

void TestKeptPartial::keptBytesComeBackWhole()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    QVERIFY(QDir(app.path()).mkpath(QStringLiteral("update")));
    const QString download = app.filePath(QStringLiteral("update/v1.003.zip"));
    const QByteArray bytes(1200, 'x');
    QVERIFY(writeBytes(download, bytes));

    QCOMPARE(keepPartial(app.path(), download, sample(bytes.size())), QString());
    // Out of the download folder, which every hand-over removes.
    QVERIFY(!QFile::exists(download));
    QVERIFY(QFile::exists(app.filePath(QLatin1String(keptPartialName))));

    const KeptPartial read = readKeptPartial(app.path());
    QVERIFY(read.isFor(1, QStringLiteral("1.003")));
    QVERIFY(!read.isFor(0, QStringLiteral("1.003")));
    QVERIFY(!read.isFor(1, QStringLiteral("1.004")));
    QCOMPARE(read.url, sample(0).url);
    QCOMPARE(read.validator, sample(0).validator);
    QCOMPARE(read.total, qint64(2000));
    QCOMPARE(read.size, qint64(bytes.size()));

    QVERIFY(takeKeptPartial(app.path(), download));
    QCOMPARE(readBytes(download), bytes);
    QVERIFY(!readKeptPartial(app.path()).isValid());
    QCOMPARE(QDir(app.path()).entryList(QDir::Files), QStringList());
}

void TestKeptPartial::leftoversThatDoNotDescribeTheBytesAreDropped_data()
{
    QTest::addColumn<QByteArray>("record"); // empty: no record at all
    QTest::addColumn<int>("bytesOnDisk"); // -1: no bytes at all

    const QByteArray good = R"({"type":1,"version":"1.003","url":"http://h/v1.003.zip",)"
                            R"("validator":"\"e\"","total":"2000","size":"1200"})";
    QTest::newRow("bytes without a record") << QByteArray() << 1200;
    QTest::newRow("record without bytes") << good << -1;
    QTest::newRow("fewer bytes than recorded") << good << 1199;
    QTest::newRow("more bytes than recorded") << good << 1201;
    QTest::newRow("not JSON") << QByteArray("size=1200") << 1200;
    QTest::newRow("no validator") << QByteArray(good).replace(R"("\"e\"")", R"("")") << 1200;
    QTest::newRow("as long as the package")
        << QByteArray(good).replace(R"("2000")", R"("1200")") << 1200;
    QTest::newRow("whole, yet shorter than the package")
        << QByteArray(good).replace(R"("size")", R"("whole":true,"size")") << 1200;
    QTest::newRow("unknown package type") << QByteArray(good).replace(":1,", ":7,") << 1200;
    QTest::newRow("length not a number")
        << QByteArray(good).replace(R"("2000")", R"("2k")") << 1200;
}

void TestKeptPartial::leftoversThatDoNotDescribeTheBytesAreDropped()
{
    QFETCH(QByteArray, record);
    QFETCH(int, bytesOnDisk);

    QTemporaryDir app;
    QVERIFY(app.isValid());
    if (!record.isEmpty())
        QVERIFY(writeBytes(app.filePath(QLatin1String(keptPartialRecordName)), record));
    if (bytesOnDisk >= 0)
        QVERIFY(
            writeBytes(app.filePath(QLatin1String(keptPartialName)), QByteArray(bytesOnDisk, 'x')));

    QString why;
    QVERIFY(!readKeptPartial(app.path(), &why).isValid());
    QVERIFY(!why.isEmpty());
    QCOMPARE(QDir(app.path()).entryList(QDir::Files), QStringList());
}

void TestKeptPartial::nothingIsKeptThatCannotBeResumed_data()
{
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("recordedSize");

    QTest::newRow("no validator") << QByteArray() << qint64(2000) << qint64(1200);
    QTest::newRow("length unknown") << QByteArray("\"e\"") << qint64(-1) << qint64(1200);
    QTest::newRow("complete") << QByteArray("\"e\"") << qint64(1200) << qint64(1200);
    QTest::newRow("size not what is on disk")
        << QByteArray("\"e\"") << qint64(2000) << qint64(1000);
}

void TestKeptPartial::nothingIsKeptThatCannotBeResumed()
{
    QFETCH(QByteArray, validator);
    QFETCH(qint64, total);
    QFETCH(qint64, recordedSize);

    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString download = app.filePath(QStringLiteral("v1.003.zip"));
    QVERIFY(writeBytes(download, QByteArray(1200, 'x')));
    KeptPartial partial = sample(recordedSize);
    partial.validator = validator;
    partial.total = total;

    QVERIFY(!keepPartial(app.path(), download, partial).isEmpty());
    QVERIFY(!readKeptPartial(app.path()).isValid());
    QVERIFY(!QFile::exists(app.filePath(QLatin1String(keptPartialName))));
}

// A verified package kept for the next run needs no range request, so no validator either.
void TestKeptPartial::wholePackageIsKeptWithoutAValidator()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString download = app.filePath(QStringLiteral("v1.003.zip"));
    QVERIFY(writeBytes(download, QByteArray(2000, 'x')));
    KeptPartial whole = sample(2000);
    whole.validator.clear();
    whole.whole = true;

    QCOMPARE(keepPartial(app.path(), download, whole), QString());
    const KeptPartial read = readKeptPartial(app.path());
    QVERIFY(read.isFor(1, QStringLiteral("1.003")));
    QVERIFY(read.whole);
    QCOMPARE(read.size, qint64(2000));
    QCOMPARE(read.total, qint64(2000));
}

void TestKeptPartial::aNewPartialReplacesTheOldOne()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString first = app.filePath(QStringLiteral("a.zip"));
    const QString second = app.filePath(QStringLiteral("b.zip"));
    QVERIFY(writeBytes(first, QByteArray(100, 'a')));
    QVERIFY(writeBytes(second, QByteArray(300, 'b')));
    QCOMPARE(keepPartial(app.path(), first, sample(100)), QString());
    KeptPartial program = sample(300);
    program.packageType = 0;
    program.version = QStringLiteral("1.010");
    QCOMPARE(keepPartial(app.path(), second, program), QString());

    const KeptPartial read = readKeptPartial(app.path());
    QVERIFY(read.isFor(0, QStringLiteral("1.010")));
    QCOMPARE(readBytes(app.filePath(QLatin1String(keptPartialName))), QByteArray(300, 'b'));
}

void TestKeptPartial::hashOfKeptBytesMatchesTheWholeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Over one read slice, so the slicing itself is exercised.
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 131) >> 3);
    const QString file = dir.filePath(QStringLiteral("p.zip"));
    QVERIFY(writeBytes(file, bytes));

    PackageHasher hasher;
    QVERIFY(hashFileInto(file, bytes.size() - 1000, &hasher));
    hasher.addData(bytes.right(1000));
    QCOMPARE(hasher.takeDigest(), packageDigest(bytes));

    PackageHasher beyond;
    QVERIFY(!hashFileInto(file, bytes.size() + 1, &beyond));
}

QTEST_GUILESS_MAIN(TestKeptPartial)
#include "tst_keptpartial.moc"
