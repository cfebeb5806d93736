// Whole runs of the real updater against nginx on 127.0.0.1 that end without installing
// anything: the version questions, their failures and the hand-over.

#include "appdir.h"
#include "cannedserver.h"
#include "nginxserver.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <memory>

namespace {

const QString contact = QStringLiteral("客服电话 400-800-1234");
const QString handOverLine = QStringLiteral("\"Orbelan.exe\"");

enum class Server { Nginx, NothingListening, Silent };

QString settingsLine(const QString& program, const QString& database)
{
    return QStringLiteral("\"ContactUs:%1 V_Program:%2 V_Database:%3 V_Images:1.000\"")
        .arg(contact, program, database);
}

// Entries ending in "*" match by prefix; "@API@" stands for the API server's base URL.
bool messageMatches(const QString& actual, QString expected, const QString& apiUrl)
{
    return ::messageMatches(actual, expected.replace(QStringLiteral("@API@"), apiUrl));
}

// Long messages cut for the failure report.
QStringList shortened(const QStringList& messages)
{
    QStringList result;
    for (const QString& message : messages)
        result.append(message.size() > 160 ? message.left(160) + QStringLiteral("...") : message);
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Server)

class TestVersionCheck : public QObject {
    Q_OBJECT

private slots:
    void bothVersionsCurrentHandsOverWithoutInstalling();
    void runWithoutUpdateEndsWithOneHandOver_data();
    void runWithoutUpdateEndsWithOneHandOver();
    void replyStatusDecidesWhetherTheBodyIsEvaluated_data();
    void replyStatusDecidesWhetherTheBodyIsEvaluated();
    void mainProgramThatCannotStartIsLogged_data();
    void mainProgramThatCannotStartIsLogged();
    void startedElsewhereKeepsToItsOwnDirectory();

private:
    void verifyMessagesUpToHandOver(
        const AppDir& app, const QStringList& expected, const QString& apiUrl);
    void writeStandardConfig(AppDir& app, const QString& apiUrl, int timeoutMs = 0);
    void prepareUpToDate(ReleaseSite& site, AppDir& app);
};

void TestVersionCheck::writeStandardConfig(AppDir& app, const QString& apiUrl, int timeoutMs)
{
    AppDir::Values values { { QStringLiteral("ContactUs/Contact1"), contact },
        { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("Server/ApiUrl"), apiUrl },
        // Nothing may be downloaded in these runs: a package request would go nowhere.
        { QStringLiteral("Server/PackageUrl"), QStringLiteral("http://127.0.0.1:1") } };
    if (timeoutMs > 0)
        values.append({ QStringLiteral("Server/TimeoutMs"), QString::number(timeoutMs) });
    QVERIFY(app.writeConfig(values));
}

// The site publishes 1.000 for both questions, the versions installed already.
void TestVersionCheck::prepareUpToDate(ReleaseSite& site, AppDir& app)
{
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.000"));
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    writeStandardConfig(app, site.nginx.baseUrl());
}

void TestVersionCheck::bothVersionsCurrentHandsOverWithoutInstalling()
{
    ReleaseSite site;
    AppDir app;
    prepareUpToDate(site, app);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    const QStringList expected { settingsLine(QStringLiteral("1.000"), QStringLiteral("1.000")),
        QStringLiteral("CheckProgramUpdate_Url: \"%1/client/verProgram.php\"")
            .arg(site.nginx.baseUrl()),
        QStringLiteral("recieveUpdateFinish:all: \"1.000\""), QStringLiteral("f_arg2: 1 f_arg1: 1"),
        QStringLiteral("CheckDataBaseUpdate()检查DLL升级"),
        QStringLiteral("recieveUpdateFinish:all: \"1.000\""), QStringLiteral("f_arg2: 1 f_arg1: 1"),
        handOverLine };
    QCOMPARE(app.debugMessages(), expected);
    for (const LogLine& line : app.logLines())
        QCOMPARE(line.location, QStringLiteral("File:() Line:(0)"));
    QVERIFY(app.logBytes().endsWith("\r\n"));

    // Two bodiless GETs with the form content type, and nothing else.
    const QList<ServedRequest> requests = site.nginx.requests();
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath() }));
    for (const ServedRequest& request : requests) {
        QCOMPARE(request.method, QStringLiteral("GET"));
        QCOMPARE(request.contentType, QStringLiteral("application/x-www-form-urlencoded"));
    }
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
    QCOMPARE(app.configValue(QStringLiteral("ContactUs/Contact1")), contact);
}

void TestVersionCheck::runWithoutUpdateEndsWithOneHandOver_data()
{
    QTest::addColumn<Server>("server");
    // A null body leaves the file unpublished, so nginx answers 404.
    QTest::addColumn<QByteArray>("programBody");
    QTest::addColumn<QByteArray>("databaseBody");
    QTest::addColumn<int>("timeoutMs");
    // The debug messages up to and including the hand-over, after the settings line.
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("maxElapsedMs");

    const QString url = QStringLiteral("CheckProgramUpdate_Url: \"@API@/client/verProgram.php\"");
    const QString dbQuestion = QStringLiteral("CheckDataBaseUpdate()检查DLL升级");
    const QString current = QStringLiteral("recieveUpdateFinish:all: \"1.000\"");
    const QString equal = QStringLiteral("f_arg2: 1 f_arg1: 1");
    const QByteArray html = "<html><head><title>Welcome</title></head><body>hi</body></html>";
    const QString htmlReply
        = QStringLiteral("recieveUpdateFinish:all: \"%1\"").arg(QString::fromLatin1(html));
    const QString notANumber = QStringLiteral("f_arg2: 1 f_arg1: 0");

    QTest::newRow("server down: connection refused")
        << Server::NothingListening << QByteArray() << QByteArray() << 0
        << QStringList { url, QStringLiteral("error: 1"), handOverLine } << 15000;
    QTest::newRow("404 on verProgram.php: no database question")
        << Server::Nginx << QByteArray() << QByteArray("1.000") << 0
        << QStringList { url, QStringLiteral("error: 203"), handOverLine } << 15000;
    QTest::newRow("404 on verDll.php") << Server::Nginx << QByteArray("1.000") << QByteArray() << 0
                                       << QStringList { url, current, equal, dbQuestion,
                                              QStringLiteral("error: 203"), handOverLine }
                                       << 15000;
    QTest::newRow("silent server: inactivity limit ends the question")
        << Server::Silent << QByteArray() << QByteArray() << 500
        << QStringList { url, QStringLiteral("error: 5"), handOverLine } << 5000;
    QTest::newRow("version reply over 64 KiB is aborted")
        << Server::Nginx << QByteArray(1024 * 1024, '1') << QByteArray("1.000") << 0
        << QStringList { url,
               QStringLiteral("[UpdateTarvilDialog]:[ERROR]:version reply too large: *"),
               QStringLiteral("error: 5"), handOverLine }
        << 15000;
    QTest::newRow("HTML page as program reply reads as no update")
        << Server::Nginx << html << QByteArray("1.000") << 0
        << QStringList { url, htmlReply, notANumber, dbQuestion, current, equal, handOverLine }
        << 15000;
    QTest::newRow("HTML page as database reply reads as no update")
        << Server::Nginx << QByteArray("1.000") << html << 0
        << QStringList { url, current, equal, dbQuestion, htmlReply, notANumber, handOverLine }
        << 15000;
    QTest::newRow("empty program reply ends the run")
        << Server::Nginx << QByteArray("") << QByteArray("1.000") << 0
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"\""), handOverLine }
        << 15000;
    QTest::newRow("empty database reply ends the run")
        << Server::Nginx << QByteArray("1.000") << QByteArray("") << 0
        << QStringList { url, current, equal, dbQuestion,
               QStringLiteral("recieveUpdateFinish:all: \"\""), handOverLine }
        << 15000;
    QTest::newRow("blank reply is not empty and reads as 0")
        << Server::Nginx << QByteArray("   ") << QByteArray("1.000") << 0
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"   \""), notANumber,
               dbQuestion, current, equal, handOverLine }
        << 15000;
    // The log shows the line break escaped, so the message stays one line.
    QTest::newRow("reply with line break reads as its number")
        << Server::Nginx << QByteArray("1.000\n") << QByteArray("  1.000\t\n") << 0
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"1.000\\n\""), equal,
               dbQuestion, QStringLiteral("recieveUpdateFinish:all: \"  1.000\\t\\n\""), equal,
               handOverLine }
        << 15000;
    QTest::newRow("older server versions")
        << Server::Nginx << QByteArray("0.999") << QByteArray("0.5") << 0
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"0.999\""),
               QStringLiteral("f_arg2: 1 f_arg1: 0.999"), dbQuestion,
               QStringLiteral("recieveUpdateFinish:all: \"0.5\""),
               QStringLiteral("f_arg2: 1 f_arg1: 0.5"), handOverLine }
        << 15000;
    QTest::newRow("newer only beyond three decimals")
        << Server::Nginx << QByteArray("1.0004") << QByteArray("1.000") << 0
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"1.0004\""),
               QStringLiteral("f_arg2: 1 f_arg1: 1.0004"), dbQuestion, current, equal,
               handOverLine }
        << 15000;
    QTest::newRow("body cut at the first NUL byte")
        << Server::Nginx
        << QByteArray("1.000\0"
                      "9.999",
               11)
        << QByteArray("1.000") << 0
        << QStringList { url, current, equal, dbQuestion, current, equal, handOverLine } << 15000;
}

void TestVersionCheck::runWithoutUpdateEndsWithOneHandOver()
{
    QFETCH(Server, server);
    QFETCH(QByteArray, programBody);
    QFETCH(QByteArray, databaseBody);
    QFETCH(int, timeoutMs);
    QFETCH(QStringList, expected);
    QFETCH(int, maxElapsedMs);

    ReleaseSite site;
    if (!programBody.isNull())
        QVERIFY(site.release.setProgramVersion(programBody));
    if (!databaseBody.isNull())
        QVERIFY(site.release.setDatabaseVersion(databaseBody));

    CannedServer silent; // reads the request and never answers
    silent.closeAfterResponse = false;
    QString apiUrl;
    switch (server) {
    case Server::Nginx:
        QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
        apiUrl = site.nginx.baseUrl();
        break;
    case Server::NothingListening: {
        const quint16 port = pickFreePort();
        QVERIFY(port != 0);
        apiUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
        break;
    }
    case Server::Silent:
        QVERIFY(silent.start());
        apiUrl = silent.baseUrl();
        break;
    }

    AppDir app;
    QVERIFY(app.isValid());
    writeStandardConfig(app, apiUrl, timeoutMs);

    const UpdaterRun run = app.runUpdater(30000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(
        run.elapsedMs < maxElapsedMs, qPrintable(QStringLiteral("took %1 ms").arg(run.elapsedMs)));
    if (server == Server::Silent)
        QVERIFY(!silent.sockets.isEmpty());

    verifyMessagesUpToHandOver(app, expected, apiUrl);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
    if (server == Server::Nginx) {
        for (const QString& path : site.nginx.requestedPaths())
            QVERIFY2(path.endsWith(QLatin1String(".php")), qPrintable(path));
    }
}

// The debug messages after the settings line, up to and including the hand-over, are
// `expected`; whatever follows is the late finished reply of a failed question.
void TestVersionCheck::verifyMessagesUpToHandOver(
    const AppDir& app, const QStringList& expected, const QString& apiUrl)
{
    QStringList messages = app.debugMessages();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.takeFirst(), settingsLine(QStringLiteral("1.000"), QStringLiteral("1.000")));
    const int handOver = messages.indexOf(handOverLine);
    QVERIFY(handOver >= 0);
    const QStringList upToHandOver = messages.mid(0, handOver + 1);
    bool same = upToHandOver.size() == expected.size();
    for (int i = 0; same && i < expected.size(); ++i)
        same = messageMatches(upToHandOver.at(i), expected.at(i), apiUrl);
    QVERIFY2(same,
        qPrintable(QStringLiteral("actual:\n%1\nexpected:\n%2")
                       .arg(shortened(upToHandOver).join(QLatin1Char('\n')),
                           expected.join(QLatin1Char('\n')))));
    // The finished reply of a failed question may still be logged; it must start nothing.
    for (const QString& late : messages.mid(handOver + 1))
        QVERIFY2(late.startsWith(QLatin1String("recieveUpdateFinish:all:")), qPrintable(late));
}

// A 203 is the answer as a rewriting proxy passed it on; any other status but 200 decides
// nothing. Either way the body is logged first.
void TestVersionCheck::replyStatusDecidesWhetherTheBodyIsEvaluated_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");

    const QString url = QStringLiteral("CheckProgramUpdate_Url: \"@API@/client/verProgram.php\"");
    const QString dbQuestion = QStringLiteral("CheckDataBaseUpdate()检查DLL升级");
    const QString current = QStringLiteral("recieveUpdateFinish:all: \"1.000\"");
    const QString equal = QStringLiteral("f_arg2: 1 f_arg1: 1");
    const QString status = QStringLiteral("[UpdateTarvilDialog]:[ERROR]:version reply with HTTP "
                                          "status %1");

    QTest::newRow("200") << QByteArray("200 OK") << QByteArray("1.000")
                         << QStringList { url, current, equal, dbQuestion, current, equal,
                                handOverLine };
    QTest::newRow("203 from a rewriting proxy")
        << QByteArray("203 Non-Authoritative Information") << QByteArray("1.000")
        << QStringList { url, current, equal, dbQuestion, current, equal, handOverLine };
    QTest::newRow("204") << QByteArray("204 No Content") << QByteArray()
                         << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"\""),
                                status.arg(204), handOverLine };
    QTest::newRow("206 part naming a newer version")
        << QByteArray("206 Partial Content") << QByteArray("1.001")
        << QStringList { url, QStringLiteral("recieveUpdateFinish:all: \"1.001\""), status.arg(206),
               handOverLine };
}

void TestVersionCheck::replyStatusDecidesWhetherTheBodyIsEvaluated()
{
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);

    CannedServer server;
    server.response = "HTTP/1.1 " + statusLine + "\r\nContent-Type: text/plain\r\n";
    if (!statusLine.startsWith("204"))
        server.response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    server.response += "Connection: close\r\n\r\n" + body;
    QVERIFY(server.start());
    AppDir app;
    QVERIFY(app.isValid());
    writeStandardConfig(app, server.baseUrl());

    const UpdaterRun run = app.runUpdater(30000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyMessagesUpToHandOver(app, expected, server.baseUrl());
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
}

void TestVersionCheck::mainProgramThatCannotStartIsLogged_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("Orbelan.exe missing") << false;
    QTest::newRow("Orbelan.exe not executable") << true;
}

void TestVersionCheck::mainProgramThatCannotStartIsLogged()
{
    QFETCH(bool, present);
    ReleaseSite site;
    AppDir app;
    prepareUpToDate(site, app);
    if (QTest::currentTestFailed())
        return;
    const QString program = app.filePath(QStringLiteral("Orbelan.exe"));
    if (present)
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner));
    else
        QVERIFY(app.removeMainProgram());

    const UpdaterRun run = app.runUpdater();
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.debugMessages();
    QVERIFY(messages.size() >= 2);
    QCOMPARE(messages.mid(messages.size() - 2), QStringList({ handOverLine, "start error1" }));
    QCOMPARE(messages.count(handOverLine), 1);
    QCOMPARE(app.configValue(QStringLiteral("AppModel/model")), QStringLiteral("1"));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("update"))));
    QVERIFY(app.mainProgramStarts().isEmpty());
}

void TestVersionCheck::startedElsewhereKeepsToItsOwnDirectory()
{
    ReleaseSite site;
    AppDir app;
    prepareUpToDate(site, app);
    if (QTest::currentTestFailed())
        return;

    // Decoys in the starting directory: a settings file that would ask a dead server
    // about older versions, and a main program of its own.
    const QString cwd = app.workingDirectory();
    QFile decoy(cwd + QStringLiteral("/Config.ini"));
    QVERIFY(decoy.open(QIODevice::WriteOnly));
    const QByteArray decoyText = "[Version]\nPROGRAM=0.500\nDATABASE=0.500\n"
                                 "[Server]\nApiUrl=http://127.0.0.1:1\n";
    decoy.write(decoyText);
    decoy.close();
    QFile decoyProgram(cwd + QStringLiteral("/Orbelan.exe"));
    QVERIFY(decoyProgram.open(QIODevice::WriteOnly));
    decoyProgram.write(AppDir::mainProgramScript(QStringLiteral("decoy")));
    decoyProgram.close();
    QVERIFY(decoyProgram.setPermissions(decoyProgram.permissions() | QFile::ExeOwner));

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(QDir(cwd).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList({ "Config.ini", "Orbelan.exe" }));
    QFile after(cwd + QStringLiteral("/Config.ini"));
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), decoyText);
    QVERIFY(
        app.logMessages().contains(settingsLine(QStringLiteral("1.000"), QStringLiteral("1.000"))));
    QCOMPARE(app.mainProgramStarts().first().tag, QStringLiteral("installed"));
    // The questions went to the server named by the application's own settings.
    QCOMPARE(site.nginx.requestedPaths().size(), 2);
}

QTEST_GUILESS_MAIN(TestVersionCheck)

#include "tst_versioncheck.moc"
