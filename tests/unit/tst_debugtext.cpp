// Unit tests of how text a server chose is put into the log: escapedServerText keeps one
// message on one line and leaves printable text alone.

#include "debugtext.h"

#include <QtTest>

class TestDebugText : public QObject {
    Q_OBJECT

private slots:
    void serverTextStaysOnOneLine_data();
    void serverTextStaysOnOneLine();
};

void TestDebugText::serverTextStaysOnOneLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");

    QTest::newRow("version") << "1.005"
                             << "1.005";
    QTest::newRow("Chinese and quotes stay")
        << QStringLiteral("版本 \"1.0\"") << QStringLiteral("版本 \"1.0\"");
    QTest::newRow("HTML page over seven lines")
        << "<html>\r\n<head><title>301 Moved Permanently</title></head>\r\n<body>\r\n"
           "<center><h1>301</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n"
        << "<html>\\r\\n<head><title>301 Moved Permanently</title></head>\\r\\n<body>\\r\\n"
           "<center><h1>301</h1></center>\\r\\n<hr><center>nginx</center>\\r\\n</body>\\r\\n"
           "</html>\\r\\n";
    QTest::newRow("tab") << "1.001\t"
                         << "1.001\\t";
    QTest::newRow("escape and bell") << QString::fromLatin1("\x1b[2J\x07") << "\\u001b[2J\\u0007";
    QTest::newRow("delete and C1 next line") << QString::fromUtf8("a\x7f"
                                                                  "b\xc2\x85"
                                                                  "c")
                                             << "a\\u007fb\\u0085c";
    QTest::newRow("Unicode line and paragraph separators") << QString::fromUtf8("a\xe2\x80\xa8"
                                                                                "b\xe2\x80\xa9"
                                                                                "c")
                                                           << "a\\u2028b\\u2029c";
    // Otherwise a server could write a fake "\n" escape that reads like a break.
    QTest::newRow("backslash") << "a\\nb"
                               << "a\\\\nb";
    QTest::newRow("empty") << QString() << QString();
}

void TestDebugText::serverTextStaysOnOneLine()
{
    QFETCH(QString, text);
    QFETCH(QString, logged);

    QCOMPARE(escapedServerText(text), logged);
    for (const QChar c : escapedServerText(text))
        QVERIFY(c.category() != QChar::Other_Control);
}

QTEST_APPLESS_MAIN(TestDebugText)

#include "tst_debugtext.moc"
