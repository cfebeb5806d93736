#include "wineapp.h"

#include "appdir.h"
#include "files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTest>
#include <QTextCodec>

WineApp::WineApp(const QString& name)
{
    m_app = QDir(m_root.path()).filePath(name);
    m_valid = m_root.isValid() && QDir().mkpath(m_app) && populate();
}

QString WineApp::filePath(const QString& relative) const { return QDir(m_app).filePath(relative); }

QString WineApp::windowsBuild() { return qEnvironmentVariable("UPDATER_WINDOWS_BUILD"); }

QString WineApp::helper(const QString& name)
{
    return QDir(windowsBuild()).filePath(QStringLiteral("helpers/") + name);
}

// The updater is a copy, as a package may replace it; the DLLs and plugins are links.
bool WineApp::populate()
{
    const QDir dist(QDir(windowsBuild()).filePath(QStringLiteral("dist")));
    if (!QFile::copy(dist.filePath(QStringLiteral("UpdateTarvil.exe")),
            filePath(QStringLiteral("UpdateTarvil.exe")))
        || !QFile::copy(
            helper(QStringLiteral("orbelan-standin.exe")), filePath(QStringLiteral("Orbelan.exe"))))
        return false;
    for (const QFileInfo& entry : dist.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        if (entry.fileName() != QLatin1String("UpdateTarvil.exe")
            && !QFile::link(entry.absoluteFilePath(), filePath(entry.fileName())))
            return false;
    }
    return true;
}

bool WineApp::writeConfigBytes(const QByteArray& bytes)
{
    return writeFileBytes(filePath(QStringLiteral("Config.ini")), bytes);
}

QByteArray WineApp::configBytes() const
{
    return readFileBytes(filePath(QStringLiteral("Config.ini")));
}

QString WineApp::configValue(const QString& key) const
{
    QSettings settings(filePath(QStringLiteral("Config.ini")), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("GB2312"));
    return settings.value(key).toString();
}

QProcess* WineApp::wineProcess(const QString& program, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(PROJECT_SOURCE_DIR "/scripts/wine-run.sh"));
    process->setArguments(QStringList { program } + arguments);
    process->setWorkingDirectory(m_app);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The real Windows window, as users see it (on the X display Wine draws on).
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(
        QStringLiteral("WINEPREFIX"), QDir(windowsBuild()).filePath(QStringLiteral("wineprefix")));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

bool WineApp::runUpdater(int timeoutMs)
{
    QProcess* process = wineProcess(filePath(QStringLiteral("UpdateTarvil.exe")), {});
    process->start();
    const bool finished = process->waitForFinished(timeoutMs);
    if (!finished)
        process->kill();
    m_output = QString::fromLocal8Bit(process->readAll());
    m_exitCode
        = finished && process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    return finished;
}

bool WineApp::startBackground(const QString& program, const QStringList& arguments)
{
    QProcess* process = wineProcess(program, arguments);
    process->start();
    return process->waitForStarted();
}

QString WineApp::logText() const
{
    return QTextCodec::codecForName("GBK")->toUnicode(readFileBytes(filePath(AppDir::logFile())));
}

QList<WindowsStart> WineApp::mainProgramStarts() const
{
    QList<WindowsStart> starts;
    const QByteArray bytes = readFileBytes(filePath(QStringLiteral("started.txt")));
    for (const QByteArray& line : bytes.split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() == 3)
            starts.append({ fields.at(0).toInt(), fields.at(1), fields.at(2) });
    }
    return starts;
}

bool WineApp::waitForStarts(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (mainProgramStarts().size() < count) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}
