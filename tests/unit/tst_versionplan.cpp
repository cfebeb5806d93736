// Unit tests of the update plan and of the reading of a version reply:
// versionPlan, readVersion, renderVersion and decodeVersionReply.

#include "versionplan.h"

#include <QDebug>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// "first".."last" in steps of one thousandth, rendered with three decimals.
QStringList thousandths(int first, int last)
{
    QStringList list;
    for (int i = first; i <= last; ++i)
        list.append(QStringLiteral("%1.%2").arg(i / 1000).arg(i % 1000, 3, 10, QLatin1Char('0')));
    return list;
}

struct Pass {
    float current;
    float server;
};

QStringList plan(const QString& server, const QString& installed, QVector<Pass>* passes = nullptr)
{
    return versionPlan(server, installed, [passes](float current, float serverValue) {
        if (passes)
            passes->append(Pass { current, serverValue });
    });
}

// Messages captured while a handler of this file is installed.
QStringList capturedMessages;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedMessages.append(message);
}

} // namespace

class TestVersionPlan : public QObject {
    Q_OBJECT

private slots:
    void examples_data();
    void examples();
    void passCount_data();
    void passCount();
    void workedExample();
    void entriesStepByOneThousandth_data();
    void entriesStepByOneThousandth();
    void noCallbackIsFine();

    void readVersion_data();
    void readVersion();
    void renderVersion_data();
    void renderVersion();
    void decodeVersionReply_data();
    void decodeVersionReply();
    void replyBodyToPlan_data();
    void replyBodyToPlan();

    void debugStreamOfFloats_data();
    void debugStreamOfFloats();
    void passMessageAsLogged();
};

void TestVersionPlan::examples_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("expected");

    // clang-format off
    // The documented examples, row by row.
    QTest::newRow("1.000 -> 1.003") << "1.000" << "1.003" << thousandths(1001, 1003);
    QTest::newRow("1.000 -> 1.0025 renders 1.003") << "1.000" << "1.0025" << thousandths(1001, 1003);
    QTest::newRow("1.000 -> 1.0024 renders 1.002") << "1.000" << "1.0024" << thousandths(1001, 1002);
    QTest::newRow("1.050 -> 1.1, 50 entries") << "1.050" << "1.1" << thousandths(1051, 1100);
    QTest::newRow("1.000 -> 2, capped at 100") << "1.000" << "2" << thousandths(1001, 1100);
    QTest::newRow("equal") << "1.000" << "1.000" << QStringList();
    QTest::newRow("older server") << "1.000" << "0.999" << QStringList();
    QTest::newRow("server not a number") << "1.000" << "<html>error</html>" << QStringList();
    QTest::newRow("installed empty") << "" << "1.003" << thousandths(1, 100);
    QTest::newRow("installed not a number") << "abc" << "1.003" << thousandths(1, 100);

    // Edge cases of the plan and of the reply reading.
    QTest::newRow("1.0004 is not newer than 1.000") << "1.000" << "1.0004" << QStringList();
    // 1.0005 in single precision lies just below 1.0005, 1.0006 above.
    QTest::newRow("1.0005 renders 1.000, not newer") << "1.000" << "1.0005" << QStringList();
    QTest::newRow("1.0006 renders 1.001") << "1.000" << "1.0006" << thousandths(1001, 1001);
    QTest::newRow("server 0.2 above: 100 entries") << "1.003" << "1.203" << thousandths(1004, 1103);
    QTest::newRow("server exactly 0.100 above") << "1.000" << "1.100" << thousandths(1001, 1100);
    QTest::newRow("server 0.101 above stops at 100") << "1.000" << "1.101" << thousandths(1001, 1100);
    QTest::newRow("body of blanks is 0") << "1.000" << "   " << QStringList();
    QTest::newRow("trailing line break") << "1.003" << "1.005\n" << thousandths(1004, 1005);
    QTest::newRow("both empty") << "" << "" << QStringList();
    QTest::newRow("grouped 1,000 is not 1000") << "1.000" << "1,000" << QStringList();
    QTest::newRow("1e39 out of float range reads 0") << "0.000" << "1e39" << QStringList();
    QTest::newRow("nan reads 0") << "0.000" << "nan" << QStringList();
    QTest::newRow("inf reads 0") << "0.000" << "inf" << QStringList();
    QTest::newRow("installed inf reads 0") << "inf" << "0.002" << thousandths(1, 2);
    QTest::newRow("installed nan reads 0") << "nan" << "0.002" << thousandths(1, 2);
    QTest::newRow("single decimal installed") << "1.5" << "1.502" << thousandths(1501, 1502);
    QTest::newRow("blanks around both") << " 1.000\t" << "\r\n1.002 " << thousandths(1001, 1002);
    // clang-format on
}

void TestVersionPlan::examples()
{
    QFETCH(QString, installed);
    QFETCH(QString, server);
    QFETCH(QStringList, expected);
    const QStringList result = plan(server, installed);
    QCOMPARE(result.size(), expected.size());
    QCOMPARE(result, expected);
    QVERIFY(result.size() <= maxPlanEntries);
}

void TestVersionPlan::passCount_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("passes");

    // clang-format off
    // Comparison ends the loop: one pass more than entries.
    QTest::newRow("equal") << "1.000" << "1.000" << 0 << 1;
    QTest::newRow("older") << "1.000" << "0.999" << 0 << 1;
    QTest::newRow("not a number") << "1.000" << "x" << 0 << 1;
    QTest::newRow("three") << "1.000" << "1.003" << 3 << 4;
    QTest::newRow("fifty") << "1.050" << "1.1" << 50 << 51;
    QTest::newRow("exactly 100") << "1.000" << "1.100" << 100 << 100;
    // The counter ends the loop: 100 passes, 100 entries.
    QTest::newRow("counter stops, 2") << "1.000" << "2" << 100 << 100;
    QTest::newRow("counter stops, empty installed") << "" << "1.003" << 100 << 100;
    QTest::newRow("99 entries") << "1.000" << "1.099" << 99 << 100;
    // clang-format on
}

void TestVersionPlan::passCount()
{
    QFETCH(QString, installed);
    QFETCH(QString, server);
    QFETCH(int, entries);
    QFETCH(int, passes);
    QVector<Pass> seen;
    const QStringList result = plan(server, installed, &seen);
    QCOMPARE(result.size(), entries);
    QCOMPARE(seen.size(), passes);
    // Every pass sees the server's value unchanged, and the running value of that pass:
    // the installed value first, then each entry already appended.
    for (int i = 0; i < seen.size(); ++i) {
        QCOMPARE(seen.at(i).server, ::readVersion(server));
        if (i == 0)
            QCOMPARE(seen.at(i).current, ::readVersion(installed));
        else
            QCOMPARE(::renderVersion(seen.at(i).current), result.at(i - 1));
    }
}

void TestVersionPlan::workedExample()
{
    // The worked example: installed 1.000, reply 1.002.
    QVector<Pass> seen;
    const QStringList result = plan(QStringLiteral("1.002"), QStringLiteral("1.000"), &seen);
    QCOMPARE(result, (QStringList { "1.001", "1.002" }));
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.at(0).current, 1.0f);
    QCOMPARE(seen.at(1).current, static_cast<float>(1.0 + 0.001));
    QCOMPARE(seen.at(2).current,
        static_cast<float>(static_cast<double>(static_cast<float>(1.0 + 0.001)) + 0.001));
    for (const Pass& pass : seen)
        QCOMPARE(pass.server, 1.002f);

    // As the debug stream prints them (the "f_arg2:" message of buildVersionList).
    QStringList lines;
    for (const Pass& pass : seen) {
        QString text;
        QDebug(&text) << "f_arg2:" << pass.current << "f_arg1:" << pass.server;
        lines.append(text.trimmed());
    }
    QCOMPARE(lines,
        (QStringList { "f_arg2: 1 f_arg1: 1.002", "f_arg2: 1.001 f_arg1: 1.002",
            "f_arg2: 1.002 f_arg1: 1.002" }));
}

void TestVersionPlan::entriesStepByOneThousandth_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("server");
    // clang-format off
    QTest::newRow("0 to 0.1") << "0" << "0.1";
    QTest::newRow("9.950 to 10.050") << "9.950" << "10.050";
    QTest::newRow("99.990 to 100.089") << "99.990" << "100.089";
    QTest::newRow("127.900 to 128") << "127.900" << "128";
    // clang-format on
}

void TestVersionPlan::entriesStepByOneThousandth()
{
    // Below 128 every entry is exactly one thousandth above the one before.
    QFETCH(QString, installed);
    QFETCH(QString, server);
    const QStringList result = plan(server, installed);
    QVERIFY(!result.isEmpty());
    const qint64 first = qRound64(installed.toDouble() * 1000) + 1;
    for (int i = 0; i < result.size(); ++i) {
        const qint64 value = first + i;
        QCOMPARE(result.at(i),
            QStringLiteral("%1.%2").arg(value / 1000).arg(value % 1000, 3, 10, QLatin1Char('0')));
    }
    QCOMPARE(result.last(), ::renderVersion(::readVersion(server)));
}

void TestVersionPlan::noCallbackIsFine()
{
    QCOMPARE(versionPlan(QStringLiteral("1.002"), QStringLiteral("1.000")),
        (QStringList { "1.001", "1.002" }));
}

void TestVersionPlan::readVersion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<float>("expected");

    QTest::newRow("1.003") << "1.003" << 1.003f;
    QTest::newRow("integer") << "2" << 2.0f;
    QTest::newRow("empty") << "" << 0.0f;
    QTest::newRow("blanks") << "   " << 0.0f;
    QTest::newRow("tab and line breaks") << "\t1.005\r\n" << 1.005f;
    QTest::newRow("trailing LF") << "1.005\n" << 1.005f;
    QTest::newRow("leading blank") << " 1.005" << 1.005f;
    QTest::newRow("html page") << "<html><body>404</body></html>" << 0.0f;
    QTest::newRow("trailing garbage") << "1.005abc" << 0.0f;
    QTest::newRow("two numbers") << "1.005 1.006" << 0.0f;
    QTest::newRow("comma decimal") << "1,005" << 0.0f;
    QTest::newRow("grouped 1,000") << "1,000" << 0.0f;
    QTest::newRow("grouped 1,000.5") << "1,000.5" << 0.0f;
    QTest::newRow("1e39 out of range") << "1e39" << 0.0f;
    QTest::newRow("-1e39 out of range") << "-1e39" << 0.0f;
    QTest::newRow("3.5e38 out of range") << "3.5e38" << 0.0f;
    QTest::newRow("1e38 in range") << "1e38" << 1e38f;
    QTest::newRow("nan") << "nan" << 0.0f;
    QTest::newRow("NaN") << "NaN" << 0.0f;
    QTest::newRow("inf") << "inf" << 0.0f;
    QTest::newRow("-inf") << "-inf" << 0.0f;
    QTest::newRow("+inf") << "+inf" << 0.0f;
    QTest::newRow("infinity") << "infinity" << 0.0f;
    QTest::newRow("exponent") << "1.5e0" << 1.5f;
    QTest::newRow("plus sign") << "+1.25" << 1.25f;
    QTest::newRow("negative") << "-0.5" << -0.5f;
    QTest::newRow("leading point") << ".5" << 0.5f;
    QTest::newRow("1.0025 single precision") << "1.0025" << 1.0025f;
}

void TestVersionPlan::readVersion()
{
    QFETCH(QString, text);
    QFETCH(float, expected);
    const float value = ::readVersion(text);
    QVERIFY(std::isfinite(value));
    QCOMPARE(value, expected);
}

void TestVersionPlan::renderVersion_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0") << 0.0f << "0.000";
    QTest::newRow("1") << 1.0f << "1.000";
    QTest::newRow("1.003") << 1.003f << "1.003";
    // 1.0025f lies just above 1.0025, 1.0024f below; widened to double, correctly rounded.
    QTest::newRow("1.0025 rounds up") << 1.0025f << "1.003";
    QTest::newRow("1.0024") << 1.0024f << "1.002";
    QTest::newRow("1.0004") << 1.0004f << "1.000";
    QTest::newRow("1.1") << 1.1f << "1.100";
    QTest::newRow("2") << 2.0f << "2.000";
    QTest::newRow("123.456") << 123.456f << "123.456";
    QTest::newRow("no group separator") << 12345.0f << "12345.000";
    QTest::newRow("negative") << -0.5f << "-0.500";
}

void TestVersionPlan::renderVersion()
{
    QFETCH(float, value);
    QFETCH(QString, expected);
    QCOMPARE(::renderVersion(value), expected);
}

void TestVersionPlan::decodeVersionReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("1.003") << "1.003";
    // clang-format off
    QTest::newRow("with LF") << QByteArray("1.005\n") << "1.005\n";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("blanks are not empty") << QByteArray("   ") << "   ";
    QTest::newRow("NUL cuts") << QByteArray("1.003\0garbage", 13) << "1.003";
    QTest::newRow("NUL first is empty") << QByteArray("\0" "1.003", 6) << "";
    QTest::newRow("two NULs") << QByteArray("1.0\0" "04\0", 7) << "1.0";
    QTest::newRow("UTF-8") << QByteArray("版本 1.003") << QString::fromUtf8("版本 1.003");
}
// clang-format on

void TestVersionPlan::decodeVersionReply()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    const QString text = ::decodeVersionReply(body);
    QCOMPARE(text, expected);
    QVERIFY(!text.contains(QChar(0)));
}

void TestVersionPlan::replyBodyToPlan_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");
    // clang-format off
    QTest::newRow("1.005 LF") << QByteArray("1.005\n") << thousandths(1001, 1005);
    QTest::newRow("1.005 CR LF") << QByteArray("1.005\r\n") << thousandths(1001, 1005);
    QTest::newRow("NUL then more digits") << QByteArray("1.002\0" "9", 7) << thousandths(1001, 1002);
    QTest::newRow("blanks") << QByteArray("  ") << QStringList();
    QTest::newRow("html") << QByteArray("<html>1.005</html>") << QStringList();
    // clang-format on
}

void TestVersionPlan::replyBodyToPlan()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    QCOMPARE(plan(::decodeVersionReply(body), QStringLiteral("1.000")), expected);
}

void TestVersionPlan::debugStreamOfFloats_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("expected");
    // Shortest form, at most six significant digits, no trailing zeros.
    QTest::newRow("1") << 1.0f << "1";
    QTest::newRow("1.001") << static_cast<float>(1.0 + 0.001) << "1.001";
    QTest::newRow("1.002") << 1.002f << "1.002";
    QTest::newRow("1.1") << 1.1f << "1.1";
    QTest::newRow("0") << 0.0f << "0";
    QTest::newRow("0.1") << 0.1f << "0.1";
    QTest::newRow("127.999") << 127.999f << "127.999";
    QTest::newRow("1.0025 six digits") << 1.0025f << "1.0025";
    QTest::newRow("123456.7 six digits") << 123456.7f << "123457";
}

void TestVersionPlan::debugStreamOfFloats()
{
    QFETCH(float, value);
    QFETCH(QString, expected);
    QString text;
    QDebug(&text) << value;
    QCOMPARE(text.trimmed(), expected);
}

void TestVersionPlan::passMessageAsLogged()
{
    // The message as a handler receives it: the stream drops the trailing blank.
    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
    versionPlan(QStringLiteral("1.002"), QStringLiteral("1.000"), [](float current, float server) {
        qDebug() << "f_arg2:" << current << "f_arg1:" << server;
    });
    qInstallMessageHandler(previous);
    QCOMPARE(capturedMessages,
        (QStringList { "f_arg2: 1 f_arg1: 1.002", "f_arg2: 1.001 f_arg1: 1.002",
            "f_arg2: 1.002 f_arg1: 1.002" }));
}

QTEST_APPLESS_MAIN(TestVersionPlan)
#include "tst_versionplan.moc"
