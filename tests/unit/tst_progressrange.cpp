// The progress bar's range for a package download, from a few bytes to 8 GiB.
#include "progressrange.h"

#include <QProgressBar>
#include <QtTest>

#include <limits>

static constexpr qint64 GiB = qint64(1) << 30;
static constexpr int intMax = std::numeric_limits<int>::max();

class ProgressRangeTest : public QObject {
    Q_OBJECT

private slots:
    void rangeFitsTheBar_data();
    void rangeFitsTheBar();
    void barShowsTheShareReceived_data();
    void barShowsTheShareReceived();
};

void ProgressRangeTest::rangeFitsTheBar_data()
{
    QTest::addColumn<qint64>("current");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");

    // What fits is passed on as it is, as it always was.
    QTest::newRow("nothing yet") << qint64(0) << qint64(0) << 0 << 0;
    QTest::newRow("small package") << qint64(512) << qint64(2048) << 2048 << 512;
    QTest::newRow("largest total that fits")
        << qint64(intMax) << qint64(intMax) << intMax << intMax;
    QTest::newRow("unknown total") << qint64(4096) << qint64(-1) << -1 << 4096;
    QTest::newRow("more than announced") << qint64(300) << qint64(200) << 200 << 300;
    // Beyond int: halved together until the total fits.
    QTest::newRow("one past int") << qint64(intMax) + 1 << qint64(intMax) + 1 << (1 << 30)
                                  << (1 << 30);
    QTest::newRow("4 GiB, half received") << 2 * GiB << 4 * GiB << (1 << 30) << (1 << 29);
    QTest::newRow("8 GiB, all received") << 8 * GiB << 8 * GiB << (1 << 30) << (1 << 30);
    QTest::newRow("8 GiB less a byte, 7 GiB received")
        << 7 * GiB << 8 * GiB - 1 << intMax << int(7 * GiB / 4);
    QTest::newRow("unknown total past int") << 3 * GiB << qint64(-1) << -1 << intMax;
}

void ProgressRangeTest::rangeFitsTheBar()
{
    QFETCH(qint64, current);
    QFETCH(qint64, total);
    QFETCH(int, maximum);
    QFETCH(int, value);
    const QPair<int, int> range = progressBarRange(current, total);
    QCOMPARE(range.first, maximum);
    QCOMPARE(range.second, value);
}

void ProgressRangeTest::barShowsTheShareReceived_data()
{
    QTest::addColumn<qint64>("current");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("text");

    QTest::newRow("1 KiB of 4 KiB") << qint64(1024) << qint64(4096) << "25%";
    QTest::newRow("1 GiB of 3 GiB") << 1 * GiB << 3 * GiB << "33%";
    QTest::newRow("6 GiB of 8 GiB") << 6 * GiB << 8 * GiB << "75%";
    QTest::newRow("8 GiB of 8 GiB") << 8 * GiB << 8 * GiB << "100%";
    // 87.5000000001 %: the bar truncates, as it does for small packages.
    QTest::newRow("7 GiB of 8 GiB less a byte") << 7 * GiB << 8 * GiB - 1 << "87%";
    QTest::newRow("5 GiB and a byte of 6 GiB") << 5 * GiB + 1 << 6 * GiB << "83%";
}

// The percentage on the bar, set as the download sets it: maximum first, then the value.
void ProgressRangeTest::barShowsTheShareReceived()
{
    QFETCH(qint64, current);
    QFETCH(qint64, total);
    QFETCH(QString, text);
    QProgressBar bar;
    const QPair<int, int> range = progressBarRange(current, total);
    bar.setMaximum(range.first);
    bar.setValue(range.second);
    QCOMPARE(bar.text(), text);
}

QTEST_MAIN(ProgressRangeTest)
#include "tst_progressrange.moc"
