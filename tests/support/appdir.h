#ifndef APPDIR_H
#define APPDIR_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One line of the updater's log, split into its fields.
struct LogLine {
    QString label; // "Debug:", "Warning:", ...
    QString location; // "File:() Line:(0)"
    QString message;
    QString timestamp; // without the parentheses
};

// One start of the fake main program, as it recorded itself.
struct MainProgramStart {
    QString tag; // which script ran: the installed one or one a package brought
    int argumentCount = -1;
    QString firstArgument; // null when the record lacks it
    QString workingDirectory; // physical path
};

// The outcome of one updater run.
struct UpdaterRun {
    bool finished = false; // false: killed at the time limit
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    qint64 elapsedMs = 0;
    qint64 peakRssKb = 0; // highest VmHWM seen while it ran
    qint64 logOffset = 0; // size of the log before the run: its own lines start here
};

// A throw-away installation: <root>/app holds a copy of the built updater, Config.ini and a
// fake main program; <root>/cwd is the directory the updater is started from; <root> itself
// is the "outside" that no package may reach.
class AppDir {
public:
    using Values = QList<QPair<QString, QString>>;

    AppDir();
    ~AppDir();
    AppDir(const AppDir&) = delete;
    AppDir& operator=(const AppDir&) = delete;

    bool isValid() const { return m_valid; }
    QString path() const; // the application directory
    QString filePath(const QString& relative) const;
    QString rootPath() const; // parent of the application directory
    QString workingDirectory() const; // where the updater is started from
    QString updaterPath() const;

    // Config.ini in GB2312, from keys such as "Version/PROGRAM", or as raw text.
    bool writeConfig(const Values& values);
    bool writeConfigText(const QString& text);
    QString configValue(const QString& key) const;
    QStringList configKeys() const;
    QByteArray configBytes() const;

    // The fake main program: a shell script tagged `tag` that appends its start record
    // to started.txt, waits until release() (so it provably runs on after the updater),
    // writes a line to its standard output and then appends its tag to "outlived".
    static QByteArray mainProgramScript(const QString& tag);
    bool installMainProgram(const QString& tag = QStringLiteral("installed"));
    bool removeMainProgram();
    // Forgets earlier starts of the fake main program, for a further run.
    void resetMainProgramRecords();

    // Runs the updater from workingDirectory() and waits, with the event loop running,
    // until it exits or `timeoutMs` passes (then it is killed). With `measureMemory` its
    // VmHWM is polled while it runs.
    UpdaterRun runUpdater(int timeoutMs = 30000, bool measureMemory = false);

    // The log from byte `from` on (a run's logOffset gives that run's lines alone).
    QList<LogLine> logLines(qint64 from = 0) const;
    QStringList logMessages(qint64 from = 0) const; // message texts, in order
    QByteArray logBytes(qint64 from = 0) const;

    QList<MainProgramStart> mainProgramStarts() const;
    // Waits until at least `count` start records are there.
    bool waitForStarts(int count = 1, int timeoutMs = 10000) const;
    // Lets every started fake main program finish, then waits until each one has
    // appended to "outlived"; returns the tags found there.
    QStringList releaseMainProgram(int timeoutMs = 10000);

    static QString startRecordFile() { return QStringLiteral("started.txt"); }
    static QString outlivedFile() { return QStringLiteral("outlived"); }
    static QString releaseFile() { return QStringLiteral("go"); }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
};

// Splits the raw bytes of the log into lines (CR LF ends a line; a bare LF inside a
// message does not) and the lines into fields.
QList<LogLine> parseLog(const QByteArray& bytes);

// QtTest checks of what every run must leave behind: a normal exit with code 0, update/
// gone, AppModel/model set, and exactly one main program (the script tagged `tag`),
// started with one empty argument in the application directory and still alive after
// the updater exited. Use QTest::currentTestFailed() afterwards.
void verifyHandedOverOnce(
    AppDir& app, const UpdaterRun& run, const QString& tag = QStringLiteral("installed"));

// Waits, with the event loop running, until `path` exists.
bool waitForFile(const QString& path, int timeoutMs);

#endif // APPDIR_H
