// Unit tests of the settings file: readSettings through the real updater, and the
// write path of configfile (openConfigForWrite, commitConfig, writeConfigValue) in process.
//
// QSettings caches a parsed file per process, by absolute path. Every case therefore works
// in a directory of its own, and whatever must be read "at the next start" is read by a
// fresh process: the real updater, in an installation of its own (it uses its own
// directory as application directory).

#include "appdir.h"
#include "configfile.h"
#include "currentdir.h"
#include "reliability.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLockFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

const QByteArray serverSection
    = "[Server]\nApiUrl=http://127.0.0.1:1\nPackageUrl=http://127.0.0.1:1\n";

QString settingsMessage(const AppDir& app)
{
    for (const QString& message : app.logMessages()) {
        if (message.startsWith(QLatin1String("\"ContactUs:")))
            return message;
    }
    return QString();
}

// Messages captured in process.
QStringList captured;
void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    captured.append(message);
}

// Samples of Config.ini that QSettings (Qt 5.15, INI) cannot parse, each with the server
// section, so that a run fails fast and hands over.
struct Malformed {
    const char* name;
    QByteArray bytes;
};

QVector<Malformed> malformedSamples()
{
    return {
        { "comment line with #",
            serverSection + "[Version]\n# installed versions\nPROGRAM=1.002\nDATABASE=1.010\n" },
        { "stray line without =",
            serverSection + "[Version]\nPROGRAM=1.002\nthis line has no equals sign\n" },
        { "stray line before the first section", "garbage\n" + serverSection },
        { "section header without ]", serverSection + "[Version\nPROGRAM=1.002\nDATABASE=1.010\n" },
        { "# line in the server section",
            "[Server]\n# the old address was "
            "http://old\nApiUrl=http://127.0.0.1:1\nPackageUrl=http://127.0.0.1:1\n"
            "[ContactUs]\nContact1="
                + toGb2312(QString::fromUtf8("联系电话：400-123-4567")) + "\n" },
    };
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // What QSettings reports as FormatError (the experiment behind the malformed cases).
    void formatErrorProducers_data();
    void formatErrorProducers();

    // readSettings, through the real updater.
    void missingConfig();
    void settingsLine_data();
    void settingsLine();
    void imagesEmptyKeepsEmptyValue();
    void gb2312ContactSurvivesHandOverWrite();
    void malformedConfigUntouchedByRun_data();
    void malformedConfigUntouchedByRun();
    void readOnlyConfigAsNobody();

    // The write path, in process.
    void writeConfigValueCreatesFile();
    void writeConfigValueKeepsGb2312Contact();
    void malformedRefusedForWrite_data();
    void malformedRefusedForWrite();
    void malformedRefusedAfterEarlierRead_data();
    void malformedRefusedAfterEarlierRead();
    void wellFormedAcceptedAfterEarlierRead();
    void commitReportsUnreachableFile();
    void writeLeavesSystemTempDirAlone();
    void serverListsAreRead_data();
    void serverListsAreRead();
    void interruptedWriteLeftoversAreRemoved_data();
    void interruptedWriteLeftoversAreRemoved();
    void leftoverNamesStayWithoutAnInterruptedWrite();
    void leftoverOfQtsOwnWriteIsRecognised();
    void leftoversStayWhileAWriterHoldsTheLock();
    void runRemovesLeftoverOfKilledWrite();

private:
    std::unique_ptr<TemporaryCurrentDir> dir;
    QtMessageHandler previousHandler = nullptr;
    bool capturing = false;

    QString path(const QString& name) const { return dir->filePath(name); }
    QString config() const { return path(QStringLiteral("Config.ini")); }
    void capture()
    {
        captured.clear();
        previousHandler = qInstallMessageHandler(captureHandler);
        capturing = true;
    }
    void stopCapture()
    {
        if (capturing)
            qInstallMessageHandler(previousHandler);
        capturing = false;
    }
};

void TestSettings::init()
{
    dir = std::make_unique<TemporaryCurrentDir>();
    QVERIFY(dir->isValid());
}

void TestSettings::cleanup()
{
    stopCapture();
    dir.reset();
}

void TestSettings::formatErrorProducers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("formatError");

    QTest::newRow("well formed") << QByteArray("[Version]\nPROGRAM=1.002\n") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("; comment") << QByteArray("[Version]\n; c\nPROGRAM=1.002\n") << false;
    QTest::newRow("blank lines") << QByteArray("\n\n[Version]\n\nPROGRAM=1.002\n\n") << false;
    QTest::newRow("unterminated quote") << QByteArray("[Version]\nPROGRAM=\"1.002\n") << false;
    QTest::newRow("[Version]] header") << QByteArray("[Version]]\nPROGRAM=1.002\n") << false;
    QTest::newRow("=value without key") << QByteArray("[Version]\n=1.002\n") << false;
    QTest::newRow("CR LF line ends") << QByteArray("[Version]\r\nPROGRAM=1.002\r\n") << false;
    QTest::newRow("GB2312 value") << QByteArray(
        "[ContactUs]\nContact1=" + toGb2312(QString::fromUtf8("联系")))
                                  << false;
    QTest::newRow("# comment") << QByteArray("[Version]\n# c\nPROGRAM=1.002\n") << true;
    QTest::newRow("line without =") << QByteArray("[Version]\nPROGRAM 1.002\n") << true;
    QTest::newRow("header without ]") << QByteArray("[Version\nPROGRAM=1.002\n") << true;
    QTest::newRow("text before any section")
        << QByteArray("garbage\n[Version]\nPROGRAM=1\n") << true;
    QTest::newRow("UTF-16 with BOM (Notepad)") << QByteArray("\xff\xfe[\0V\0]\0\n\0a\0=\0"
                                                             "1\0\n\0",
        18) << true;
}

void TestSettings::formatErrorProducers()
{
    // A fresh settings object on a fresh path; the status after all sections are parsed.
    QFETCH(QByteArray, bytes);
    QFETCH(bool, formatError);
    QVERIFY(writeFileBytes(config(), bytes));
    QSettings settings(config(), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("GB2312"));
    settings.allKeys();
    QCOMPARE(settings.status() == QSettings::FormatError, formatError);
}

void TestSettings::missingConfig()
{
    // No Config.ini: the API address is then the built-in default. Only the start of the
    // run is of interest; a run that does not end on its own is stopped.
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.removeMainProgram());
    app.runUpdater(20000);
    const QStringList messages = app.logMessages();
    QVERIFY2(messages.size() >= 2, app.logBytes().constData());
    QCOMPARE(
        messages.at(0), QStringLiteral("\"ContactUs: V_Program: V_Database: V_Images:1.000\""));
    // The program question is sent all the same.
    QVERIFY2(messages.at(1).startsWith(QLatin1String("CheckProgramUpdate_Url: \"http")),
        qPrintable(messages.at(1)));
    QVERIFY(messages.at(1).endsWith(QLatin1String("/client/verProgram.php\"")));
}

void TestSettings::settingsLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("only the server section")
        << serverSection << "\"ContactUs: V_Program: V_Database: V_Images:1.000\"";
    QTest::newRow("all keys")
        << QByteArray(serverSection
               + "[ContactUs]\nContact1=call us\n[Version]\nPROGRAM=1.002\nDATABASE=1.010\n"
                 "IMAGES=1.004\n")
        << "\"ContactUs:call us V_Program:1.002 V_Database:1.010 V_Images:1.004\"";
    QTest::newRow("contact with %1 and %2 verbatim")
        << QByteArray(serverSection
               + "[ContactUs]\nContact1=tel %1 or %2 (%3)\n[Version]\nPROGRAM=1.002\n"
                 "DATABASE=1.010\n")
        << "\"ContactUs:tel %1 or %2 (%3) V_Program:1.002 V_Database:1.010 V_Images:1.000\"";
    QTest::newRow("versions with %")
        << QByteArray(serverSection + "[Version]\nPROGRAM=%2\nDATABASE=%1\nIMAGES=%4\n")
        << "\"ContactUs: V_Program:%2 V_Database:%1 V_Images:%4\"";
    QTest::newRow("GB2312 contact")
        << QByteArray(serverSection + "[ContactUs]\nContact1="
               + toGb2312(QString::fromUtf8("联系电话：400-123-4567")) + "\n")
        << QString::fromUtf8(
               "\"ContactUs:联系电话：400-123-4567 V_Program: V_Database: V_Images:1.000\"");
    QTest::newRow("Version/IMAGES present, empty")
        << QByteArray(serverSection + "[Version]\nPROGRAM=1.002\nDATABASE=1.010\nIMAGES=\n")
        << "\"ContactUs: V_Program:1.002 V_Database:1.010 V_Images:1.000\"";
    // The INI format reads an unquoted comma as a list; the contact still shows.
    QTest::newRow("contact with a comma")
        << QByteArray(serverSection + "[ContactUs]\nContact1="
               + toGb2312(QString::fromUtf8("电话：400-123-4567, QQ：12345")) + "\n")
        << QString::fromUtf8(
               "\"ContactUs:电话：400-123-4567, QQ：12345 V_Program: V_Database: V_Images:1.000\"");
    QTest::newRow("quoted contact with a comma")
        << QByteArray(serverSection + "[ContactUs]\nContact1=\"a, b\"\n")
        << "\"ContactUs:a, b V_Program: V_Database: V_Images:1.000\"";
}

void TestSettings::settingsLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(bytes));
    const UpdaterRun run = app.runUpdater(60000);
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.first(), expected);
    // The question is still sent, and the run hands over.
    QCOMPARE(messages.at(1),
        QStringLiteral("CheckProgramUpdate_Url: \"http://127.0.0.1:1/client/verProgram.php\""));
    QVERIFY2(app.waitForStarts(1), "the main program was not started");
}

void TestSettings::imagesEmptyKeepsEmptyValue()
{
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(serverSection
        + "[Version]\nPROGRAM=1.002\nDATABASE=1.010\nIMAGES=\n[AppModel]\nmodel=0\n"));
    const UpdaterRun run = app.runUpdater(60000);
    QVERIFY(run.finished);
    QCOMPARE(settingsMessage(app),
        QStringLiteral("\"ContactUs: V_Program:1.002 V_Database:1.010 V_Images:1.000\""));
    // The hand-over rewrote the file (AppModel/model = 1); IMAGES is still there, empty.
    const QByteArray after = app.configBytes();
    QVERIFY2(after.contains("\nIMAGES=\n"), after.constData());
    QVERIFY2(after.contains("[AppModel]\nmodel=1\n"), after.constData());
    QVERIFY(app.configKeys().contains(QStringLiteral("Version/IMAGES")));
    QCOMPARE(app.configValue(QStringLiteral("Version/IMAGES")), QString());
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.002"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.010"));
    QCOMPARE(app.configValue(QStringLiteral("AppModel/model")), QStringLiteral("1"));
}

void TestSettings::gb2312ContactSurvivesHandOverWrite()
{
    const QString contact = QString::fromUtf8("联系电话：400-123-4567");
    const QByteArray contactLine = "Contact1=" + toGb2312(contact) + "\n";
    QVERIFY(contactLine.size() > 20); // really encoded: two bytes per Chinese character
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(
        "[ContactUs]\n" + contactLine + serverSection + "[Version]\nPROGRAM=1.002\n"));

    // First run: reads the contact, then the hand-over writes AppModel/model.
    UpdaterRun run = app.runUpdater(60000);
    QVERIFY(run.finished);
    QCOMPARE(settingsMessage(app),
        QStringLiteral("\"ContactUs:%1 V_Program:1.002 V_Database: V_Images:1.000\"").arg(contact));
    const QByteArray after = app.configBytes();
    QVERIFY2(after.contains("[AppModel]\nmodel=1\n"), after.constData());
    QVERIFY2(after.contains("[ContactUs]\n" + contactLine), after.constData());

    // Second run, a fresh process: reads the same text from the rewritten file.
    QVERIFY(QFile::remove(app.filePath(AppDir::logFile())));
    run = app.runUpdater(60000);
    QVERIFY(run.finished);
    QCOMPARE(settingsMessage(app),
        QStringLiteral("\"ContactUs:%1 V_Program:1.002 V_Database: V_Images:1.000\"").arg(contact));
    QCOMPARE(app.configBytes(), after);
}

void TestSettings::malformedConfigUntouchedByRun_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const Malformed& sample : malformedSamples())
        QTest::newRow(sample.name) << sample.bytes;
}

void TestSettings::malformedConfigUntouchedByRun()
{
    QFETCH(QByteArray, bytes);
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(bytes));
    const QString config = app.filePath(QStringLiteral("Config.ini"));
    const QDateTime modified = QFileInfo(config).lastModified();
    const UpdaterRun run = app.runUpdater(60000);
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    // A whole run, hand-over included (it would write AppModel/model) ...
    QVERIFY2(app.waitForStarts(1), "the main program was not started");
    // ... leaves the file byte for byte as it was ...
    QCOMPARE(app.configBytes(), bytes);
    QCOMPARE(QFileInfo(config).lastModified(), modified);
    // ... and one log line says so.
    const QStringList messages = app.logMessages();
    QCOMPARE(messages.filter(QStringLiteral("malformed")),
        QStringList { "[UpdateTarvilDialog]:[ERROR]:malformed, left unchanged: \"Config.ini\"" });
    QVERIFY(messages.filter(QStringLiteral("write failed")).isEmpty());
    // Nothing else was left behind by the write.
    const QStringList entries = QDir(app.path()).entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(entries.filter(QStringLiteral("Config.ini")) == QStringList { "Config.ini" },
        qPrintable(entries.join(QLatin1Char(' '))));
}

void TestSettings::readOnlyConfigAsNobody()
{
    if (!canRunAsNobody())
        QSKIP("needs root and setpriv to run the updater as user nobody");
    const QByteArray bytes = serverSection + "[Version]\nPROGRAM=1.002\n[AppModel]\nmodel=0\n";
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(bytes));
    QVERIFY(openToEveryone(app));
    const QString config = app.filePath(QStringLiteral("Config.ini"));
    QVERIFY(QFile::setPermissions(config, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QDateTime modified = QFileInfo(config).lastModified();

    const UpdaterRun run = runAsNobody(app, 60000);
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    // The run read the file and still handed over: the main program was started, as nobody.
    QCOMPARE(settingsMessage(app),
        QStringLiteral("\"ContactUs: V_Program:1.002 V_Database: V_Images:1.000\""));
    QVERIFY2(app.waitForStarts(1), "the main program was not started");
    QCOMPARE(QFileInfo(app.filePath(AppDir::startRecordFile())).ownerId(), 65534u);
    // The file is unchanged: not rewritten, not replaced.
    QCOMPARE(app.configBytes(), bytes);
    QCOMPARE(QFileInfo(config).lastModified(), modified);
    QCOMPARE(QFileInfo(config).ownerId(), 0u);
}

void TestSettings::serverListsAreRead_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QStringList>("apiUrls");
    QTest::addColumn<QStringList>("packageUrls");

    const QString a = QStringLiteral("http://a.example:8080");
    const QString b = QStringLiteral("http://b.example/base");
    const QStringList fallback { QStringLiteral(UPDATER_DEFAULT_API_URL) };
    QTest::newRow("one each") << QByteArray("[Server]\nApiUrl=http://a.example:8080\n"
                                            "PackageUrl=http://b.example/base\n")
                              << QStringList { a } << QStringList { b };
    // Unquoted, QSettings reads a list.
    QTest::newRow("two, unquoted") << QByteArray("[Server]\nApiUrl=http://a.example:8080, "
                                                 "http://b.example/base\nPackageUrl=http://"
                                                 "b.example/base,http://a.example:8080\n")
                                   << QStringList { a, b } << QStringList { b, a };
    QTest::newRow("two, quoted") << QByteArray("[Server]\nApiUrl=\"http://a.example:8080 , "
                                               "http://b.example/base\"\nPackageUrl=\"http://"
                                               "b.example/base,\"\n")
                                 << QStringList { a, b } << QStringList { b };
    QTest::newRow("empty entries")
        << QByteArray("[Server]\nApiUrl=,,http://a.example:8080,\n"
                      "PackageUrl=\n")
        << QStringList { a } << QStringList { QStringLiteral(UPDATER_DEFAULT_PACKAGE_URL) };
    QTest::newRow("missing") << QByteArray("[Version]\nPROGRAM=1.000\n") << fallback
                             << QStringList { QStringLiteral(UPDATER_DEFAULT_PACKAGE_URL) };
}

void TestSettings::serverListsAreRead()
{
    QFETCH(QByteArray, section);
    QFETCH(QStringList, apiUrls);
    QFETCH(QStringList, packageUrls);
    QVERIFY(writeFileBytes(config(), section));
    QCOMPARE(apiBaseUrls(), apiUrls);
    QCOMPARE(packageBaseUrls(), packageUrls);
    QCOMPARE(apiBaseUrl(), apiUrls.first());
    QCOMPARE(packageBaseUrl(), packageUrls.first());
}

void TestSettings::writeConfigValueCreatesFile()
{
    capture();
    QVERIFY(writeConfigValue(ConfigKey::appModel, QStringLiteral("1")));
    stopCapture();
    QVERIFY(captured.isEmpty());
    QCOMPARE(readFileBytes(config()), QByteArray("[AppModel]\nmodel=1\n"));
}

void TestSettings::writeConfigValueKeepsGb2312Contact()
{
    const QString contact = QString::fromUtf8("联系电话：400-123-4567");
    const QByteArray contactLine = "Contact1=" + toGb2312(contact) + "\n";
    QVERIFY(
        writeFileBytes(config(), "[ContactUs]\n" + contactLine + "[Version]\nDATABASE=1.010\n"));
    QVERIFY(writeConfigValue(ConfigKey::databaseVersion, QStringLiteral("1.011")));
    const QByteArray after = readFileBytes(config());
    QVERIFY2(after.contains("[ContactUs]\n" + contactLine), after.constData());
    QVERIFY2(after.contains("[Version]\nDATABASE=1.011\n"), after.constData());

    // Read back in a fresh process: the real updater logs the contact line it reads.
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeConfigBytes(after + serverSection));
    const UpdaterRun run = app.runUpdater(60000);
    QVERIFY(run.finished);
    QCOMPARE(settingsMessage(app),
        QStringLiteral("\"ContactUs:%1 V_Program: V_Database:1.011 V_Images:1.000\"").arg(contact));
}

void TestSettings::malformedRefusedForWrite_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const Malformed& sample : malformedSamples())
        QTest::newRow(sample.name) << sample.bytes;
    QTest::newRow("UTF-16 with BOM") << QByteArray("\xff\xfe[\0V\0]\0\n\0a\0=\0"
                                                   "1\0\n\0",
        18);
}

void TestSettings::malformedRefusedForWrite()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeFileBytes(config(), bytes));
    capture();
    QVERIFY(!openConfigForWrite());
    QVERIFY(!writeConfigValue(ConfigKey::appModel, QStringLiteral("1")));
    stopCapture();
    QCOMPARE(readFileBytes(config()), bytes);
    const QString refusal
        = QStringLiteral("[UpdateTarvilDialog]:[ERROR]:malformed, left unchanged: \"Config.ini\"");
    QCOMPARE(captured, (QStringList { refusal, refusal }));
}

void TestSettings::malformedRefusedAfterEarlierRead_data() { malformedRefusedForWrite_data(); }

void TestSettings::malformedRefusedAfterEarlierRead()
{
    // As in a run: readSettings (and the request URLs) read the file first, in the same
    // process; QSettings then serves the file from its cache without parsing it again.
    QFETCH(QByteArray, bytes);
    QVERIFY(writeFileBytes(config(), bytes));
    {
        const auto settings = openConfig();
        settings->value(QStringLiteral("Version/PROGRAM"));
        settings->value(QStringLiteral("ContactUs/Contact1"));
    }
    apiBaseUrl();
    capture();
    QVERIFY(!writeConfigValue(ConfigKey::appModel, QStringLiteral("1")));
    QVERIFY(!openConfigForWrite());
    stopCapture();
    QCOMPARE(readFileBytes(config()), bytes);
    QCOMPARE(captured.size(), 2);
}

void TestSettings::wellFormedAcceptedAfterEarlierRead()
{
    const QByteArray bytes = serverSection + "[Version]\n; a comment\nPROGRAM=1.002\n";
    QVERIFY(writeFileBytes(config(), bytes));
    openConfig()->value(QStringLiteral("Version/PROGRAM"));
    capture();
    QVERIFY(writeConfigValue(ConfigKey::programVersion, QStringLiteral("1.003")));
    const auto settings = openConfigForWrite();
    QVERIFY(settings);
    settings->setValue(QLatin1String(ConfigKey::databaseVersion), QStringLiteral("1.011"));
    QVERIFY(commitConfig(*settings));
    stopCapture();
    QVERIFY2(captured.isEmpty(), qPrintable(captured.join(QLatin1Char('\n'))));
    const QByteArray after = readFileBytes(config());
    QVERIFY2(after.contains("PROGRAM=1.003\n"), after.constData());
    QVERIFY2(after.contains("DATABASE=1.011\n"), after.constData());
    QVERIFY2(after.contains("ApiUrl=http://127.0.0.1:1\n"), after.constData());
}

// The check before a write parses a private copy of the file, contact line and all; the copy
// stays inside the application directory, not the system's temporary directory.
void TestSettings::writeLeavesSystemTempDirAlone()
{
    QTemporaryDir systemTemp;
    QVERIFY(systemTemp.isValid());
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(systemTemp.path()));
    QFileSystemWatcher watcher({ systemTemp.path() });
    QSignalSpy changed(&watcher, &QFileSystemWatcher::directoryChanged);
    QVERIFY(writeFileBytes(config(), toGb2312("[ContactUs]\nContact1=客服 400-1\n")));
    const bool written = writeConfigValue(ConfigKey::appModel, QStringLiteral("1"));
    const bool tempTouched = changed.wait(300);
    qputenv("TMPDIR", previous);
    QVERIFY(written);
    QVERIFY2(!tempTouched, "a file came and went in the system's temporary directory");
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("updatetarvil.journal"))));
    // The watcher does see a file there.
    QVERIFY(writeFileBytes(systemTemp.filePath(QStringLiteral("probe")), "x"));
    QVERIFY(changed.wait(5000));
}

void TestSettings::commitReportsUnreachableFile()
{
    // A file below a plain file: the directory cannot be made, the write cannot land.
    QVERIFY(writeFileBytes(path(QStringLiteral("plain")), "x"));
    const QString unreachable = path(QStringLiteral("plain/Config.ini"));
    capture();
    const auto settings = openConfigForWrite(unreachable);
    QVERIFY(settings);
    settings->setValue(QLatin1String(ConfigKey::appModel), QStringLiteral("1"));
    QVERIFY(!commitConfig(*settings));
    stopCapture();
    QCOMPARE(captured.size(), 1);
    QVERIFY2(
        captured.at(0).startsWith(QLatin1String("[UpdateTarvilDialog]:[ERROR]:write failed: \"")),
        qPrintable(captured.at(0)));
    QCOMPARE(readFileBytes(path(QStringLiteral("plain"))), QByteArray("x"));
}

// A writer killed between writing the settings' new file and renaming it over them leaves
// "Config.ini.XXXXXX" behind. Only after a write of the updater's own that was interrupted,
// and only names of that form that appeared since it began, go: a person's files stay,
// whatever their names.
void TestSettings::interruptedWriteLeftoversAreRemoved_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("presentBeforeTheWrite");
    QTest::addColumn<bool>("removed");

    QTest::newRow("new, mixed case") << "Config.ini.xrAMRh" << false << true;
    QTest::newRow("new, lower case") << "Config.ini.backup" << false << true;
    QTest::newRow("new, upper case") << "Config.ini.BACKUP" << false << true;
    QTest::newRow("new, digits only") << "Config.ini.201501" << false << false;
    QTest::newRow("new, letters and digits") << "Config.ini.bak001" << false << false;
    QTest::newRow("new, shorter suffix") << "Config.ini.bak" << false << false;
    QTest::newRow("new, longer suffix") << "Config.ini.xrAMRh7" << false << false;
    QTest::newRow("new, not alphanumeric") << "Config.ini.xr-MRh" << false << false;
    QTest::newRow("new, another file's") << "Other.ini.xrAMRh" << false << false;
    QTest::newRow("older, upper case") << "Config.ini.BACKUP" << true << false;
    QTest::newRow("older, capitalised") << "Config.ini.Backup" << true << false;
    QTest::newRow("older, mixed case") << "Config.ini.xrAMRh" << true << false;
}

void TestSettings::interruptedWriteLeftoversAreRemoved()
{
    QFETCH(QString, name);
    QFETCH(bool, presentBeforeTheWrite);
    QFETCH(bool, removed);

    const QByteArray settings = "[Version]\nPROGRAM=1.001\n";
    QVERIFY(writeFileBytes(config(), settings));
    if (presentBeforeTheWrite)
        QVERIFY(writeFileBytes(path(name), "a person's copy"));
    QVERIFY(markConfigWrite(config()));
    if (!presentBeforeTheWrite)
        QVERIFY(writeFileBytes(path(name), "[Version]\nPRO"));
    const QStringList names = removeInterruptedConfigWrites(config());
    QCOMPARE(names, removed ? QStringList { name } : QStringList());
    QCOMPARE(QFileInfo::exists(path(name)), !removed);
    QCOMPARE(readFileBytes(config()), settings);
    QVERIFY(!QFileInfo::exists(config() + QStringLiteral(".lock")));
    // The note is settled: the next start looks at nothing.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("updatetarvil.journal"))));
}

// Without a write of the updater's that was interrupted, nothing beside the file is touched,
// not even a name of the settings class's own form.
void TestSettings::leftoverNamesStayWithoutAnInterruptedWrite()
{
    QVERIFY(writeFileBytes(config(), "[Version]\nPROGRAM=1.001\n"));
    const QStringList names { QStringLiteral("Config.ini.xrAMRh"),
        QStringLiteral("Config.ini.BACKUP"), QStringLiteral("Config.ini.Backup") };
    for (const QString& name : names)
        QVERIFY(writeFileBytes(path(name), "kept"));
    QVERIFY(writeConfigValue(ConfigKey::appModel, QStringLiteral("1")));
    QCOMPARE(removeInterruptedConfigWrites(config()), QStringList());
    for (const QString& name : names)
        QVERIFY2(QFileInfo::exists(path(name)), qPrintable(name));
}

// Qt's atomic write names its new file with the same engine as a temporary file made from
// the settings file's own name: every name made that way after the write began goes.
void TestSettings::leftoverOfQtsOwnWriteIsRecognised()
{
    QVERIFY(writeFileBytes(config(), "[Version]\nPROGRAM=1.001\n"));
    QVERIFY(markConfigWrite(config()));
    QStringList made;
    for (int i = 0; i < 20; ++i) {
        QTemporaryFile file(config());
        file.setAutoRemove(false);
        QVERIFY(file.open());
        made.append(QFileInfo(file.fileName()).fileName());
    }
    made.sort();
    QStringList removed = removeInterruptedConfigWrites(config());
    removed.sort();
    QCOMPARE(removed, made);
}

// While another writer holds the lock, its new file may be the one being written.
void TestSettings::leftoversStayWhileAWriterHoldsTheLock()
{
    QVERIFY(writeFileBytes(config(), "[Version]\nPROGRAM=1.001\n"));
    const QString name = QStringLiteral("Config.ini.xrAMRh");
    QVERIFY(markConfigWrite(config()));
    QVERIFY(writeFileBytes(path(name), "[Version]\nPRO"));
    {
        QLockFile writer(config() + QStringLiteral(".lock"));
        QVERIFY(writer.tryLock(0));
        QCOMPARE(removeInterruptedConfigWrites(config()), QStringList());
        QVERIFY(QFileInfo::exists(path(name)));
    }
    QCOMPARE(removeInterruptedConfigWrites(config()), QStringList { name });
}

// The real updater, started after one of its writes was killed: the new file that write left
// goes, with its log line; a person's file of the same form, there before, stays.
void TestSettings::runRemovesLeftoverOfKilledWrite()
{
    AppDir app;
    QVERIFY(app.isValid());
    const QString person = app.filePath(QStringLiteral("Config.ini.BACKUP"));
    QVERIFY(writeFileBytes(person, "a person's copy"));
    QVERIFY(markConfigWrite(app.filePath(QStringLiteral("Config.ini"))));
    const QString leftover = app.filePath(QStringLiteral("Config.ini.XqbmZp"));
    QVERIFY(writeFileBytes(leftover, "[Version]\nPRO"));
    const UpdaterRun run = app.runUpdater(60000);
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!QFileInfo::exists(leftover));
    QVERIFY(QFileInfo::exists(person));
    QVERIFY2(app.logMessages().contains(QStringLiteral(
                 "\"removed Config.ini.XqbmZp, left by an interrupted write of the settings\"")),
        app.logBytes().constData());
}

int main(int argc, char* argv[])
{
    // The updater writes its log in the locale's 8-bit code page and this process reads it
    // back in its own: C.UTF-8 for both, so that Chinese text survives the round trip.
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    TestSettings test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settings.moc"
