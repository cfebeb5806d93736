#include "appdir.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTextCodec>
#include <QTimer>

static QTextCodec* gb2312() { return QTextCodec::codecForName("GB2312"); }

QByteArray toGb2312(const QString& text) { return gb2312()->fromUnicode(text); }

QStringList runArtefacts()
{
    return { AppDir::logFile(), AppDir::startRecordFile(), AppDir::outlivedFile(),
        AppDir::releaseFile() };
}

static QStringList nonEmptyLines(const QByteArray& bytes)
{
    QStringList lines;
    for (const QByteArray& line : bytes.split('\n')) {
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line));
    }
    return lines;
}

bool waitForFile(const QString& path, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(path)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

QList<LogLine> parseLog(const QByteArray& bytes)
{
    // The log is written in the locale's 8-bit encoding; the test runs in the same locale.
    const QString text = QTextCodec::codecForLocale()->toUnicode(bytes);
    static const QRegularExpression pattern(
        QStringLiteral("^(\\S*) (File:\\(.*?\\) Line:\\(-?\\d+\\)) (.*) \\((\\d{4}-\\d\\d-\\d\\d "
                       "\\d\\d:\\d\\d:\\d\\d [^)]*)\\)$"),
        QRegularExpression::DotMatchesEverythingOption);
    QList<LogLine> lines;
    QStringList raw = text.split(QStringLiteral("\r\n"));
    if (!raw.isEmpty() && raw.last().isEmpty())
        raw.removeLast();
    for (const QString& line : raw) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch()) {
            lines.append(
                { match.captured(1), match.captured(2), match.captured(3), match.captured(4) });
        } else {
            // Kept whole, so a malformed line still shows up in a comparison.
            lines.append({ QString(), QString(), line, QString() });
        }
    }
    return lines;
}

AppDir::AppDir()
    : AppDir(QStringLiteral(UPDATER_BINARY))
{
}

AppDir::AppDir(const QString& updaterBinary)
{
    if (!m_root.isValid())
        return;
    QDir root(m_root.path());
    if (!root.mkdir(QStringLiteral("app")) || !root.mkdir(QStringLiteral("cwd")))
        return;
    if (!QFile::copy(updaterBinary, updaterPath()))
        return;
    QFile::setPermissions(updaterPath(),
        QFile::permissions(updaterPath()) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    m_valid = installMainProgram();
}

AppDir::~AppDir()
{
    // Started fake main programs wait for this file; let them finish before the tree goes.
    const int started = mainProgramStarts().size();
    if (started > 0)
        releaseMainProgram(3000);
}

QString AppDir::path() const { return m_root.filePath(QStringLiteral("app")); }

QString AppDir::filePath(const QString& relative) const
{
    return path() + QLatin1Char('/') + relative;
}

QString AppDir::rootPath() const { return m_root.path(); }

QString AppDir::workingDirectory() const { return m_root.filePath(QStringLiteral("cwd")); }

QString AppDir::updaterPath() const { return filePath(QStringLiteral("UpdateTarvil")); }

bool AppDir::writeConfig(const Values& values)
{
    QFile::remove(filePath(QStringLiteral("Config.ini")));
    QSettings settings(filePath(QStringLiteral("Config.ini")), QSettings::IniFormat);
    settings.setIniCodec(gb2312());
    for (const auto& value : values)
        settings.setValue(value.first, value.second);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool AppDir::writeOldInstallationConfig(
    const QString& apiUrl, const QString& packageUrl, const Values& extra)
{
    Values values { { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("Server/ApiUrl"), apiUrl },
        { QStringLiteral("Server/PackageUrl"), packageUrl.isEmpty() ? apiUrl : packageUrl } };
    values.append(extra);
    return writeConfig(values);
}

bool AppDir::writeConfigText(const QString& text) { return writeConfigBytes(toGb2312(text)); }

bool AppDir::writeConfigBytes(const QByteArray& bytes)
{
    return writeFileBytes(filePath(QStringLiteral("Config.ini")), bytes);
}

QString AppDir::configValue(const QString& key) const
{
    QSettings settings(filePath(QStringLiteral("Config.ini")), QSettings::IniFormat);
    settings.setIniCodec(gb2312());
    return settings.value(key).toString();
}

QStringList AppDir::configKeys() const
{
    QSettings settings(filePath(QStringLiteral("Config.ini")), QSettings::IniFormat);
    settings.setIniCodec(gb2312());
    return settings.allKeys();
}

QByteArray AppDir::configBytes() const
{
    return readFileBytes(filePath(QStringLiteral("Config.ini")));
}

QByteArray AppDir::mainProgramScript(const QString& tag)
{
    // Files are found next to the script, so a wrong working directory cannot hide the
    // record; the working directory is recorded on its own.
    return QStringLiteral(
        "#!/bin/sh\n"
        "here=$(dirname \"$0\")\n"
        "printf '%s\\n' '%1' \"$#\" \"[$1]\" \"$(pwd -P)\" >> \"$here/started.txt\"\n"
        "i=0\n"
        "while [ ! -e \"$here/go\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
        "[ -e \"$here/go\" ] || exit 1\n"
        "echo 'main program %1 running'\n"
        "printf '%s\\n' '%1' >> \"$here/outlived\"\n")
        .arg(tag)
        .toUtf8();
}

bool AppDir::installMainProgram(const QString& tag)
{
    const QString program = filePath(QStringLiteral("Orbelan.exe"));
    QFile::remove(program);
    QFile file(program);
    const QByteArray script = mainProgramScript(tag);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
        return false;
    file.close();
    return file.setPermissions(
        file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

bool AppDir::removeMainProgram() { return QFile::remove(filePath(QStringLiteral("Orbelan.exe"))); }

void AppDir::resetMainProgramRecords()
{
    for (const QString& name : { startRecordFile(), outlivedFile(), releaseFile() })
        QFile::remove(filePath(name));
}

static qint64 readPeakRssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

UpdaterRun AppDir::runUpdater(int timeoutMs, bool measureMemory)
{
    RunOptions options;
    options.timeoutMs = timeoutMs;
    options.measureMemory = measureMemory;
    return runUpdater(options);
}

UpdaterRun AppDir::runUpdater(const RunOptions& options)
{
    UpdaterRun run;
    run.logOffset = QFileInfo(filePath(logFile())).size();
    QProcess process;
    QStringList command = options.wrapper;
    command.append(updaterPath());
    process.setProgram(command.takeFirst());
    process.setArguments(command);
    process.setWorkingDirectory(workingDirectory());
    // Files, not pipes: the main program inherits these and writes after the updater
    // has gone, when a pipe would have no reader.
    process.setStandardOutputFile(
        m_root.filePath(QStringLiteral("updater.out")), QIODevice::Append);
    process.setStandardErrorFile(m_root.filePath(QStringLiteral("updater.err")), QIODevice::Append);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Every server of the tests is on 127.0.0.1: no proxy of the caller's may get between.
    for (const char* name : { "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY" })
        environment.remove(QString::fromLatin1(name));
    environment.insert(options.environment);
    process.setProcessEnvironment(environment);

    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    QSignalSpy finished(&process, SIGNAL(finished(int, QProcess::ExitStatus)));
    QElapsedTimer clock;
    clock.start();
    process.start();
    if (!process.waitForStarted(10000))
        return run;

    const qint64 pid = process.processId();
    const bool killing = options.killAfterMs >= 0 || options.killWhen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (options.measureMemory)
            run.peakRssKb = qMax(run.peakRssKb, readPeakRssKb(pid));
        if (!killing || run.killed || process.state() != QProcess::Running)
            return;
        const bool due = options.killAfterMs >= 0 && clock.elapsed() >= options.killAfterMs;
        if (due || (options.killWhen && options.killWhen())) {
            run.killed = true;
            process.kill();
        }
    });
    if (killing || options.measureMemory)
        poll.start(killing ? 1 : 10);
    run.finished = finished.wait(options.timeoutMs);
    poll.stop();
    run.elapsedMs = clock.elapsed();
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    return run;
}

QByteArray AppDir::errorOutput() const
{
    return readFileBytes(m_root.filePath(QStringLiteral("updater.err")));
}

QByteArray AppDir::logBytes(qint64 from) const
{
    return readFileBytes(filePath(logFile())).mid(int(from));
}

QList<LogLine> AppDir::logLines(qint64 from) const { return parseLog(logBytes(from)); }

QStringList AppDir::logMessages(qint64 from) const
{
    QStringList messages;
    for (const LogLine& line : logLines(from))
        messages.append(line.message);
    return messages;
}

QStringList AppDir::debugMessages(qint64 from) const
{
    QStringList messages;
    for (const LogLine& line : logLines(from)) {
        if (line.label == QLatin1String("Debug:"))
            messages.append(line.message);
    }
    return messages;
}

QList<MainProgramStart> AppDir::mainProgramStarts() const
{
    const QStringList lines = nonEmptyLines(readFileBytes(filePath(startRecordFile())));
    QList<MainProgramStart> starts;
    for (int i = 0; i + 3 < lines.size(); i += 4) {
        MainProgramStart start;
        start.tag = lines.at(i);
        bool ok = false;
        start.argumentCount = lines.at(i + 1).toInt(&ok);
        if (!ok)
            start.argumentCount = -1;
        const QString argument = lines.at(i + 2);
        if (argument.startsWith(QLatin1Char('[')) && argument.endsWith(QLatin1Char(']')))
            start.firstArgument = argument.mid(1, argument.size() - 2);
        start.workingDirectory = lines.at(i + 3);
        starts.append(start);
    }
    return starts;
}

bool AppDir::waitForStarts(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (mainProgramStarts().size() < count) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

QStringList AppDir::releaseMainProgram(int timeoutMs)
{
    QFile release(filePath(releaseFile()));
    release.open(QIODevice::WriteOnly);
    release.close();
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const QStringList tags = nonEmptyLines(readFileBytes(filePath(outlivedFile())));
        if ((!tags.isEmpty() && tags.size() >= mainProgramStarts().size()) || deadline.hasExpired())
            return tags;
        QTest::qWait(20);
    }
}

bool messageMatches(const QString& message, const QString& expected)
{
    if (expected.endsWith(QLatin1Char('*')))
        return message.startsWith(expected.chopped(1));
    return message == expected;
}

void verifyNormalExit(const AppDir& app, const UpdaterRun& run)
{
    QVERIFY2(run.finished,
        qPrintable("the updater did not exit in time; its standard error:\n"
            + QString::fromLocal8Bit(app.errorOutput())));
    const QString errors = QString::fromLocal8Bit(app.errorOutput());
    QVERIFY2(run.exitStatus == QProcess::NormalExit,
        qPrintable("the updater crashed; its standard error:\n" + errors));
    QVERIFY2(run.exitCode == 0,
        qPrintable(
            QStringLiteral("exit code %1; its standard error:\n").arg(run.exitCode) + errors));
}

void verifyHandedOverOnce(AppDir& app, const UpdaterRun& run, const QString& tag)
{
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("update"))));
    QCOMPARE(app.configValue(QStringLiteral("AppModel/model")), QStringLiteral("1"));
    QVERIFY2(app.waitForStarts(1), "the main program was not started");
    // Released only now, so an "outlived" entry proves the program ran on after the exit.
    const QStringList outlived = app.releaseMainProgram();
    const QList<MainProgramStart> starts = app.mainProgramStarts();
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first().tag, tag);
    QCOMPARE(starts.first().argumentCount, 1);
    QCOMPARE(starts.first().firstArgument, QString(""));
    QCOMPARE(starts.first().workingDirectory, QFileInfo(app.path()).canonicalFilePath());
    QCOMPARE(outlived, QStringList { tag });
    QCOMPARE(app.logMessages(run.logOffset).count(QStringLiteral("\"Orbelan.exe\"")), 1);
}

void verifyPeakMemory(const UpdaterRun& run, qint64 packageBytes, qint64 limitKb)
{
    qInfo("peak resident memory of the updater: %lld KiB for a %lld MiB package, %lld ms",
        run.peakRssKb, packageBytes / (1024 * 1024), run.elapsedMs);
    QVERIFY2(run.peakRssKb > 0, "no memory reading taken");
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's shadow memory makes the resident size meaningless");
#endif
    QVERIFY2(run.peakRssKb < limitKb, qPrintable(QString::number(run.peakRssKb)));
}

QByteArray fileMd5(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}
