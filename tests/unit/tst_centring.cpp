// Unit tests of the centring of the window on the primary screen's work area.

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
    QTest::addColumn<QRect>("workArea");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QPoint>("expected");

    const QSize form(1000, 700);
    QTest::newRow("1920x1080, taskbar at the bottom")
        << QRect(0, 0, 1920, 1040) << form << QPoint(460, 170);
    QTest::newRow("taskbar at the top: the area starts below it")
        << QRect(0, 40, 1920, 1040) << form << QPoint(460, 210);
    QTest::newRow("taskbar on the left") << QRect(60, 0, 1860, 1080) << form << QPoint(490, 190);
    QTest::newRow("primary screen right of another one")
        << QRect(1920, 0, 1280, 984) << form << QPoint(2060, 142);
    QTest::newRow("odd size truncates") << QRect(0, 0, 1001, 701) << form << QPoint(0, 0);
    QTest::newRow("exactly the window") << QRect(0, 0, 1000, 700) << form << QPoint(0, 0);
    QTest::newRow("larger than the area: the corner stays inside")
        << QRect(0, 30, 800, 570) << form << QPoint(0, 30);
    QTest::newRow("no screen") << QRect() << form << QPoint(0, 0);
}

void TestCentring::centredPosition()
{
    QFETCH(QRect, workArea);
    QFETCH(QSize, window);
    QFETCH(QPoint, expected);
    QCOMPARE(::centredPosition(workArea, window), expected);
}

QTEST_APPLESS_MAIN(TestCentring)
#include "tst_centring.moc"
