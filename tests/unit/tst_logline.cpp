// Unit tests of the log file: the line layout of formatLogLine, and
// logMessageHandler writing, appending and failing in a temporary directory, from several
// threads, and inside the real updater run as an unprivileged user.

#include "appdir.h"
#include "currentdir.h"
#include "logmessagehandler.h"
#include "reliability.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

const QString logName = AppDir::logFile();

// The abbreviated weekday name as the timestamp writes it: in the system locale's language.
QString weekday(const QDate& date)
{
    return QLocale::system().dayName(date.dayOfWeek(), QLocale::ShortFormat);
}

// One complete line as the handler writes it; the message may hold bare line breaks.
const QRegularExpression linePattern(
    QStringLiteral("\\A(Debug:|Warning:|Critical:|Fatal:|) File:\\((.*?)\\) Line:\\((\\d+)\\) (.*) "
                   "\\((\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) ([^)]+)\\)\r\n\\z"),
    QRegularExpression::DotMatchesEverythingOption);

// Splits the file into lines, each with its CR LF.
QStringList splitLines(const QString& text)
{
    QStringList lines;
    int start = 0;
    for (int end = text.indexOf(QLatin1String("\r\n")); end >= 0;
         end = text.indexOf(QLatin1String("\r\n"), start)) {
        lines.append(text.mid(start, end + 2 - start));
        start = end + 2;
    }
    if (start < text.size())
        lines.append(text.mid(start)); // an incomplete last line: a failure for the callers
    return lines;
}

// Checks one line against the layout; fills the message and the timestamp.
bool parseLine(const QString& line, QString* label, QString* message, QDateTime* stamp)
{
    const QRegularExpressionMatch match = linePattern.match(line);
    if (!match.hasMatch())
        return false;
    if (label)
        *label = match.captured(1);
    if (message)
        *message = match.captured(4);
    const QDateTime when
        = QDateTime::fromString(match.captured(5), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!when.isValid() || match.captured(6) != weekday(when.date()))
        return false;
    if (stamp)
        *stamp = when;
    return true;
}

QDateTime nowToTheSecond()
{
    QDateTime now = QDateTime::currentDateTime();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    return now;
}

const QByteArray failFastConfig
    = "[Server]\nApiUrl=http://127.0.0.1:1\nPackageUrl=http://127.0.0.1:1\n";

// Logs `count` numbered messages from its own thread.
class LoggingThread : public QThread {
public:
    LoggingThread(int id, int count)
        : id(id)
        , count(count)
    {
    }

protected:
    void run() override
    {
        for (int i = 0; i < count; ++i)
            qDebug().noquote() << QStringLiteral("thread %1 message %2 %3")
                                      .arg(id)
                                      .arg(i)
                                      .arg(QString(40, QLatin1Char('x')));
    }

private:
    int id;
    int count;
};

} // namespace

class TestLogLine : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formatLogLine_data();
    void formatLogLine();
    void exactExample();
    void exampleInSystemLocale();
    void formatEndsWithOneCrLf_data();
    void formatEndsWithOneCrLf();

    void handlerWritesOneCrLfLine();
    void handlerLabelsEveryType();
    void handlerUsesContextLocation();
    void handlerKeepsPercentAndLineBreaks();
    void handlerWritesLocaleBytes();
    void secondMessageIsAppended();
    void existingContentIsKept();
    void deletedFileIsCreatedAgain();
    void unopenableLogPathLosesMessage();
    void threadsWriteCompleteLines();

    void realRunsAppend();
    void readOnlyLogAsNobody();

private:
    std::unique_ptr<TemporaryCurrentDir> dir;
    QtMessageHandler previousHandler = nullptr;
    bool handlerInstalled = false;

    void install()
    {
        previousHandler = qInstallMessageHandler(logMessageHandler);
        handlerInstalled = true;
    }
    void uninstall()
    {
        if (handlerInstalled)
            qInstallMessageHandler(previousHandler);
        handlerInstalled = false;
    }
    QString logPath() const { return dir->filePath(logName); }
};

void TestLogLine::init()
{
    dir = std::make_unique<TemporaryCurrentDir>();
    QVERIFY(dir->isValid());
}

void TestLogLine::cleanup()
{
    uninstall();
    dir.reset();
}

void TestLogLine::formatLogLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    const QDateTime when(QDate(2015, 3, 1), QTime(9, 5, 7));
    const QString stamp = QStringLiteral("(2015-03-01 09:05:07 %1)\r\n").arg(weekday(when.date()));

    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray() << 0 << "abc"
                           << "Debug: File:() Line:(0) abc " + stamp;
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << 0 << "abc"
                             << "Warning: File:() Line:(0) abc " + stamp;
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << 0 << "abc"
                              << "Critical: File:() Line:(0) abc " + stamp;
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << 0 << "abc"
                           << "Fatal: File:() Line:(0) abc " + stamp;
    QTest::newRow("info: empty label, line begins with a blank")
        << int(QtInfoMsg) << QByteArray() << 0 << "abc"
        << " File:() Line:(0) abc " + stamp;
    QTest::newRow("unknown type: empty label") << 42 << QByteArray() << 0 << "abc"
                                               << " File:() Line:(0) abc " + stamp;
    QTest::newRow("file and line") << int(QtDebugMsg) << QByteArray("x.cpp") << 12 << "abc"
                                   << "Debug: File:(x.cpp) Line:(12) abc " + stamp;
    QTest::newRow("UTF-8 file name")
        << int(QtDebugMsg) << QString::fromUtf8("源.cpp").toUtf8() << 7 << "abc"
        << QString::fromUtf8("Debug: File:(源.cpp) Line:(7) abc ") + stamp;
    QTest::newRow("empty file name, negative line")
        << int(QtDebugMsg) << QByteArray("") << -1 << "abc"
        << "Debug: File:() Line:(-1) abc " + stamp;
    QTest::newRow("%1 %2 stay verbatim") << int(QtDebugMsg) << QByteArray() << 0 << "a %1 b %2 c"
                                         << "Debug: File:() Line:(0) a %1 b %2 c " + stamp;
    QTest::newRow("%3 %4 %L1 %99 verbatim")
        << int(QtDebugMsg) << QByteArray() << 0 << "%3 %4 %L1 %99 %%"
        << "Debug: File:() Line:(0) %3 %4 %L1 %99 %% " + stamp;
    QTest::newRow("percent-encoded URL")
        << int(QtDebugMsg) << QByteArray() << 0 << "\"http://h/a%2Fb%20c%1\""
        << "Debug: File:() Line:(0) \"http://h/a%2Fb%20c%1\" " + stamp;
    QTest::newRow("% in file name") << int(QtWarningMsg) << QByteArray("%1.cpp") << 3 << "m%2"
                                    << "Warning: File:(%1.cpp) Line:(3) m%2 " + stamp;
    QTest::newRow("multi-line: bare LF inside")
        << int(QtDebugMsg) << QByteArray() << 0 << "first\nsecond\n\tthird"
        << "Debug: File:() Line:(0) first\nsecond\n\tthird " + stamp;
    QTest::newRow("empty message") << int(QtDebugMsg) << QByteArray() << 0 << ""
                                   << "Debug: File:() Line:(0)  " + stamp;
    QTest::newRow("Chinese text")
        << int(QtDebugMsg) << QByteArray() << 0
        << QString::fromUtf8("CheckDataBaseUpdate()检查DLL升级")
        << QString::fromUtf8("Debug: File:() Line:(0) CheckDataBaseUpdate()检查DLL升级 ") + stamp;
    QTest::newRow("message with parentheses")
        << int(QtDebugMsg) << QByteArray() << 0 << "(2000-01-01 00:00:00 Sat)"
        << "Debug: File:() Line:(0) (2000-01-01 00:00:00 Sat) " + stamp;
}

void TestLogLine::formatLogLine()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const QDateTime when(QDate(2015, 3, 1), QTime(9, 5, 7));
    const QString result = ::formatLogLine(
        QtMsgType(type), file.isNull() ? nullptr : file.constData(), line, message, when);
    QCOMPARE(result, expected);
    // The timestamp stands at the end of the line, whatever the message holds.
    QVERIFY(
        result.endsWith(QStringLiteral("(2015-03-01 09:05:07 %1)\r\n").arg(weekday(when.date()))));
}

void TestLogLine::exactExample()
{
    // main() runs the test in the C locale, whose weekday names are the English ones.
    QCOMPARE(QLocale::system().dayName(7, QLocale::ShortFormat), QStringLiteral("Sun"));
    QCOMPARE(::formatLogLine(QtDebugMsg, nullptr, 0, QStringLiteral("abc"),
                 QDateTime(QDate(2015, 3, 1), QTime(9, 5, 7))),
        QStringLiteral("Debug: File:() Line:(0) abc (2015-03-01 09:05:07 Sun)\r\n"));
    QCOMPARE(::formatLogLine(QtWarningMsg, nullptr, 0, QStringLiteral("abc"),
                 QDateTime(QDate(2015, 3, 1), QTime(9, 5, 7))),
        QStringLiteral("Warning: File:() Line:(0) abc (2015-03-01 09:05:07 Sun)\r\n"));
}

void TestLogLine::exampleInSystemLocale()
{
    // The weekday follows the system locale; for each day of one week.
    for (int day = 0; day < 7; ++day) {
        const QDateTime when(QDate(2015, 3, 1).addDays(day), QTime(23, 59, 59));
        QCOMPARE(::formatLogLine(QtDebugMsg, nullptr, 0, QStringLiteral("abc"), when),
            QStringLiteral("Debug: File:() Line:(0) abc (%1 23:59:59 %2)\r\n")
                .arg(when.date().toString(QStringLiteral("yyyy-MM-dd")), weekday(when.date())));
    }
    // No milliseconds, no time zone; two-digit fields with leading zeros, 24-hour clock.
    QCOMPARE(::formatLogLine(QtDebugMsg, nullptr, 0, QStringLiteral("x"),
                 QDateTime(QDate(987, 1, 2), QTime(13, 4, 5, 678), Qt::UTC)),
        QStringLiteral("Debug: File:() Line:(0) x (0987-01-02 13:04:05 %1)\r\n")
            .arg(weekday(QDate(987, 1, 2))));
}

void TestLogLine::formatEndsWithOneCrLf_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("plain") << "abc";
    QTest::newRow("LF inside") << "a\nb\nc";
    QTest::newRow("LF at end") << "abc\n";
}

void TestLogLine::formatEndsWithOneCrLf()
{
    QFETCH(QString, message);
    const QString line
        = ::formatLogLine(QtDebugMsg, nullptr, 0, message, QDateTime::currentDateTime());
    QVERIFY(line.endsWith(QLatin1String(")\r\n")));
    QCOMPARE(line.count(QLatin1Char('\r')), 1);
    QCOMPARE(line.count(QLatin1Char('\n')), message.count(QLatin1Char('\n')) + 1);
}

void TestLogLine::handlerWritesOneCrLfLine()
{
    const QDateTime before = nowToTheSecond();
    install();
    qDebug() << "abc";
    uninstall();
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray bytes = readFileBytes(logPath());
    QVERIFY2(bytes.startsWith("Debug: File:() Line:(0) abc ("), bytes.constData());
    QVERIFY(bytes.endsWith(")\r\n"));
    QCOMPARE(bytes.count('\r'), 1);
    QCOMPARE(bytes.count('\n'), 1);
    QString label;
    QString message;
    QDateTime stamp;
    QVERIFY2(parseLine(QString::fromUtf8(bytes), &label, &message, &stamp), bytes.constData());
    QCOMPARE(label, QStringLiteral("Debug:"));
    QCOMPARE(message, QStringLiteral("abc"));
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(stamp.toString(Qt::ISODate)));
    // Exactly the line formatLogLine gives for that moment.
    QCOMPARE(QString::fromUtf8(bytes), ::formatLogLine(QtDebugMsg, nullptr, 0, "abc", stamp));
}

void TestLogLine::handlerLabelsEveryType()
{
    install();
    qDebug("d");
    qInfo("i");
    qWarning("w");
    qCritical("c");
    // A fatal message through the handler itself: the handler does not end the process.
    logMessageHandler(QtFatalMsg, QMessageLogContext(), QStringLiteral("f"));
    uninstall();

    const QStringList lines = splitLines(QString::fromUtf8(readFileBytes(logPath())));
    QCOMPARE(lines.size(), 5);
    const QStringList labels { "Debug:", "", "Warning:", "Critical:", "Fatal:" };
    const QStringList messages { "d", "i", "w", "c", "f" };
    for (int i = 0; i < lines.size(); ++i) {
        QString label;
        QString message;
        QVERIFY2(parseLine(lines.at(i), &label, &message, nullptr), qPrintable(lines.at(i)));
        QCOMPARE(label, labels.at(i));
        QCOMPARE(message, messages.at(i));
    }
    QVERIFY(lines.at(1).startsWith(QLatin1String(" File:() Line:(0) i (")));
}

void TestLogLine::handlerUsesContextLocation()
{
    QMessageLogContext context("x.cpp", 12, "void f()", "category");
    logMessageHandler(QtDebugMsg, context, QStringLiteral("abc"));
    const QString text = QString::fromUtf8(readFileBytes(logPath()));
    QVERIFY2(
        text.startsWith(QLatin1String("Debug: File:(x.cpp) Line:(12) abc (")), qPrintable(text));
    QVERIFY(!text.contains(QLatin1String("void f()")));
    QVERIFY(!text.contains(QLatin1String("category")));
    QVERIFY(parseLine(text, nullptr, nullptr, nullptr));
}

void TestLogLine::handlerKeepsPercentAndLineBreaks()
{
    install();
    qDebug().noquote() << "url: http://h/a%2Fb %1 %2";
    qDebug().noquote() << "first\nsecond";
    uninstall();

    const QByteArray bytes = readFileBytes(logPath());
    const QStringList lines = splitLines(QString::fromUtf8(bytes));
    QCOMPARE(lines.size(), 2);
    QString message;
    QVERIFY2(parseLine(lines.at(0), nullptr, &message, nullptr), qPrintable(lines.at(0)));
    QCOMPARE(message, QStringLiteral("url: http://h/a%2Fb %1 %2"));
    QVERIFY2(parseLine(lines.at(1), nullptr, &message, nullptr), qPrintable(lines.at(1)));
    QCOMPARE(message, QStringLiteral("first\nsecond"));
    // The bare LF is written unchanged; only the end of each message is CR LF.
    QCOMPARE(bytes.count("\r\n"), 2);
    QCOMPARE(bytes.count('\n'), 3);
    QVERIFY(bytes.contains("first\nsecond ("));
}

void TestLogLine::handlerWritesLocaleBytes()
{
    const QString text = QString::fromUtf8("正在升级配置文件...1.001");
    install();
    qDebug().noquote() << text;
    uninstall();
    const QByteArray bytes = readFileBytes(logPath());
    QTextCodec* codec = QTextCodec::codecForLocale();
    const QString line = codec->toUnicode(bytes);
    QString message;
    QDateTime stamp;
    QVERIFY2(parseLine(line, nullptr, &message, &stamp), bytes.constData());
    QCOMPARE(message, text);
    QCOMPARE(bytes, codec->fromUnicode(::formatLogLine(QtDebugMsg, nullptr, 0, text, stamp)));
}

void TestLogLine::secondMessageIsAppended()
{
    install();
    qDebug() << "first";
    const QByteArray afterFirst = readFileBytes(logPath());
    qDebug() << "second";
    uninstall();
    const QByteArray bytes = readFileBytes(logPath());
    QVERIFY(bytes.startsWith(afterFirst));
    const QStringList lines = splitLines(QString::fromUtf8(bytes));
    QCOMPARE(lines.size(), 2);
    QString message;
    QVERIFY(parseLine(lines.at(0), nullptr, &message, nullptr));
    QCOMPARE(message, QStringLiteral("first"));
    QVERIFY(parseLine(lines.at(1), nullptr, &message, nullptr));
    QCOMPARE(message, QStringLiteral("second"));
}

void TestLogLine::existingContentIsKept()
{
    // Never truncated: an earlier run's lines, even one without CR LF, stay in front.
    const QByteArray earlier = "Debug: File:() Line:(0) old (2015-03-01 09:05:07 Sun)\r\npartial";
    QVERIFY(writeFileBytes(logPath(), earlier));
    install();
    qDebug() << "new";
    uninstall();
    const QByteArray bytes = readFileBytes(logPath());
    QVERIFY(bytes.startsWith(earlier));
    QVERIFY(bytes.mid(earlier.size()).startsWith("Debug: File:() Line:(0) new ("));
    QVERIFY(bytes.endsWith(")\r\n"));
}

void TestLogLine::deletedFileIsCreatedAgain()
{
    install();
    qDebug() << "before";
    QVERIFY(QFile::exists(logPath()));
    QVERIFY(QFile::remove(logPath()));
    qDebug() << "after";
    uninstall();
    const QStringList lines = splitLines(QString::fromUtf8(readFileBytes(logPath())));
    QCOMPARE(lines.size(), 1);
    QString message;
    QVERIFY(parseLine(lines.at(0), nullptr, &message, nullptr));
    QCOMPARE(message, QStringLiteral("after"));
}

void TestLogLine::unopenableLogPathLosesMessage()
{
    // A directory in place of the log file: the open fails even for root. The message is
    // lost silently, without recursion (the handler would dead-lock on its own mutex) and
    // without a crash; the next message tries again and succeeds once the path is free.
    QVERIFY(QDir().mkdir(logPath()));
    install();
    qDebug() << "lost";
    qWarning() << "lost too";
    logMessageHandler(QtFatalMsg, QMessageLogContext(), QStringLiteral("lost fatal"));
    QVERIFY(QFileInfo(logPath()).isDir());
    QVERIFY(QDir(logPath())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty());
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList { logName });

    QVERIFY(QDir().rmdir(logPath()));
    qDebug() << "kept";
    uninstall();
    const QStringList lines = splitLines(QString::fromUtf8(readFileBytes(logPath())));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.at(0).startsWith(QLatin1String("Debug: File:() Line:(0) kept (")));
}

void TestLogLine::threadsWriteCompleteLines()
{
    const int threadCount = 6;
    const int perThread = 200;
    install();
    std::vector<std::unique_ptr<LoggingThread>> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.push_back(std::make_unique<LoggingThread>(t, perThread));
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));
    uninstall();

    const QByteArray bytes = readFileBytes(logPath());
    QVERIFY(bytes.endsWith("\r\n"));
    const QStringList lines = splitLines(QString::fromUtf8(bytes));
    QCOMPARE(lines.size(), threadCount * perThread);
    QCOMPARE(bytes.count('\n'), threadCount * perThread);
    QSet<QString> seen;
    QVector<int> lastIndex(threadCount, -1);
    const QRegularExpression messagePattern(
        QStringLiteral("\\Athread (\\d+) message (\\d+) x{40}\\z"));
    for (const QString& line : lines) {
        QString message;
        QVERIFY2(parseLine(line, nullptr, &message, nullptr), qPrintable(line));
        const QRegularExpressionMatch match = messagePattern.match(message);
        QVERIFY2(match.hasMatch(), qPrintable(message));
        QVERIFY2(!seen.contains(message), qPrintable(message));
        seen.insert(message);
        // Each thread's lines stand in the order it logged them.
        const int thread = match.captured(1).toInt();
        const int index = match.captured(2).toInt();
        QVERIFY(index > lastIndex.at(thread));
        lastIndex[thread] = index;
    }
    QCOMPARE(seen.size(), threadCount * perThread);
}

void TestLogLine::realRunsAppend()
{
    // Two runs of the real updater: the second run's lines follow the first's.
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.removeMainProgram());
    QVERIFY(app.writeConfigBytes(failFastConfig));
    const QString log = app.filePath(logName);
    const UpdaterRun first = app.runUpdater(60000);
    verifyNormalExit(app, first);
    if (QTest::currentTestFailed())
        return;
    const QByteArray afterFirst = readFileBytes(log);
    QVERIFY(!afterFirst.isEmpty());
    const UpdaterRun second = app.runUpdater(60000);
    verifyNormalExit(app, second);
    if (QTest::currentTestFailed())
        return;
    const QByteArray bytes = readFileBytes(log);
    QVERIFY(bytes.startsWith(afterFirst));
    QVERIFY(bytes.size() > afterFirst.size());

    const QStringList lines = splitLines(QString::fromUtf8(bytes));
    int settingsLines = 0;
    for (const QString& line : lines) {
        QString message;
        QVERIFY2(parseLine(line, nullptr, &message, nullptr), qPrintable(line));
        if (message.startsWith(QLatin1String("\"ContactUs:")))
            ++settingsLines;
    }
    QCOMPARE(settingsLines, 2);
}

void TestLogLine::readOnlyLogAsNobody()
{
    if (!canRunAsNobody())
        QSKIP("needs root and setpriv to run the updater as user nobody");
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(failFastConfig));
    QVERIFY(openToEveryone(app));
    const QString log = app.filePath(logName);
    const QByteArray earlier = "Debug: File:() Line:(0) old (2015-03-01 09:05:07 Sun)\r\n";
    QVERIFY(writeFileBytes(log, earlier));
    QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QDateTime modified = QFileInfo(log).lastModified();

    const UpdaterRun run = runAsNobody(app, 60000);
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    // The run went on to the hand-over: the main program was started (as nobody).
    QVERIFY2(app.waitForStarts(1), "the main program was not started");
    // ... and wrote nothing into the read-only log.
    QCOMPARE(readFileBytes(log), earlier);
    QCOMPARE(QFileInfo(log).lastModified(), modified);
    QCOMPARE(QFileInfo(log).ownerId(), 0u);
    // The updater itself did run as nobody: so did the main program it started.
    QCOMPARE(QFileInfo(app.filePath(AppDir::startRecordFile())).ownerId(), 65534u);
}

int main(int argc, char* argv[])
{
    // The documented example is given for an English system: run in the C locale, whose
    // weekday names are English, and whose 8-bit code page Qt takes as UTF-8.
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    TestLogLine test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logline.moc"
