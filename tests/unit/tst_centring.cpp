// Unit tests of the centring of the window.

#include "centring.h"

#include <QtTest>

class TestCentring : public QObject {
    Q_OBJECT

private slots:
    void centredPosition_data();
    void centredPosition();
};

void TestCentring::centredPosition_data()
{
    QTest::addColumn<int>("screenCount");
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QSize>("screen0");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QPoint>("expected");

    const QSize form(1000, 700);
    QTest::newRow("one screen 1920x1080")
        << 1 << QSize(1920, 1080) << QSize(1920, 1080) << form << QPoint(460, 190);
    QTest::newRow("one screen 800x600, negative")
        << 1 << QSize(800, 600) << QSize(800, 600) << form << QPoint(-100, -50);
    QTest::newRow("one screen: the desktop counts, not screen 0")
        << 1 << QSize(1920, 1080) << QSize(1280, 1024) << form << QPoint(460, 190);
    QTest::newRow("two screens 1920x1080 + 1280x1024: screen 0")
        << 2 << QSize(3200, 1080) << QSize(1920, 1080) << form << QPoint(460, 190);
    QTest::newRow("two screens, screen 0 is 1280x1024")
        << 2 << QSize(3200, 1080) << QSize(1280, 1024) << form << QPoint(140, 162);
    QTest::newRow("three screens: screen 0 only")
        << 3 << QSize(5760, 1080) << QSize(1920, 1080) << form << QPoint(460, 190);
    QTest::newRow("odd 1001x701 truncates to 0,0")
        << 1 << QSize(1001, 701) << QSize(1001, 701) << form << QPoint(0, 0);
    QTest::newRow("odd 999x699 truncates toward zero to 0,0")
        << 1 << QSize(999, 699) << QSize(999, 699) << form << QPoint(0, 0);
    QTest::newRow("odd 997x697 gives -1,-1")
        << 1 << QSize(997, 697) << QSize(997, 697) << form << QPoint(-1, -1);
    QTest::newRow("odd 1921x1081")
        << 1 << QSize(1921, 1081) << QSize(1921, 1081) << form << QPoint(460, 190);
    QTest::newRow("exactly the window") << 1 << form << form << form << QPoint(0, 0);
    QTest::newRow("another window size")
        << 1 << QSize(1920, 1080) << QSize(1920, 1080) << QSize(200, 100) << QPoint(860, 490);
}

void TestCentring::centredPosition()
{
    QFETCH(int, screenCount);
    QFETCH(QSize, desktop);
    QFETCH(QSize, screen0);
    QFETCH(QSize, window);
    QFETCH(QPoint, expected);
    QCOMPARE(::centredPosition(screenCount, desktop, screen0, window), expected);
}

QTEST_APPLESS_MAIN(TestCentring)
#include "tst_centring.moc"
