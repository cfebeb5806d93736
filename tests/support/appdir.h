#ifndef APPDIR_H
#define APPDIR_H

#include "files.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

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

// How a run of the updater is started and when it is cut short.
struct RunOptions {
    // Command put in front of the updater: another user, a resource limit, a mount.
    QStringList wrapper;
    // Extra environment for the updater (and whatever the wrapper starts).
    QProcessEnvironment environment;
    int timeoutMs = 30000;
    // Polls the updater's VmHWM while it runs (meaningful without a wrapper only).
    bool measureMemory = false;
    // SIGKILL this long after the start; negative: never.
    int killAfterMs = -1;
    // Polled about once a millisecond while the updater runs; true kills it (SIGKILL).
    std::function<bool()> killWhen;
};

// The outcome of one updater run.
struct UpdaterRun {
    bool finished = false; // false: killed at the time limit
    bool killed = false; // killed on purpose by killAfterMs or killWhen
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
    // With another build of the updater, such as one that trusts the test signing key.
    explicit AppDir(const QString& updaterBinary);
    ~AppDir();
    AppDir(const AppDir&) = delete;
    AppDir& operator=(const AppDir&) = delete;

    bool isValid() const { return m_valid; }
    QString path() const; // the application directory
    QString filePath(const QString& relative) const;
    QString rootPath() const; // parent of the application directory
    QString workingDirectory() const; // where the updater is started from
    QString updaterPath() const;

    // Config.ini in GB2312, from keys such as "Version/PROGRAM" or from text; or any bytes.
    bool writeConfig(const Values& values);
    // Config.ini of an installation at program and database 1.000 that asks `apiUrl` for
    // versions and `packageUrl` (`apiUrl` when empty) for packages, plus `extra`.
    bool writeOldInstallationConfig(
        const QString& apiUrl, const QString& packageUrl = QString(), const Values& extra = {});
    bool writeConfigText(const QString& text);
    bool writeConfigBytes(const QByteArray& bytes);
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
    // until it exits or the time limit passes (then it is killed).
    UpdaterRun runUpdater(const RunOptions& options);
    UpdaterRun runUpdater(int timeoutMs = 30000, bool measureMemory = false);
    // What the runs wrote to their standard error, for failure messages.
    QByteArray errorOutput() const;

    // The log from byte `from` on (a run's logOffset gives that run's lines alone).
    QList<LogLine> logLines(qint64 from = 0) const;
    QStringList logMessages(qint64 from = 0) const; // message texts, in order
    QStringList debugMessages(qint64 from = 0) const; // those of the "Debug:" lines only
    QByteArray logBytes(qint64 from = 0) const;

    QList<MainProgramStart> mainProgramStarts() const;
    // Waits until at least `count` start records are there.
    bool waitForStarts(int count = 1, int timeoutMs = 10000) const;
    // Lets every started fake main program finish, then waits until each one has
    // appended to "outlived"; returns the tags found there.
    QStringList releaseMainProgram(int timeoutMs = 10000);

    static QString logFile() { return QStringLiteral("updatetarvillogs.txt"); }
    static QString startRecordFile() { return QStringLiteral("started.txt"); }
    static QString outlivedFile() { return QStringLiteral("outlived"); }
    static QString releaseFile() { return QStringLiteral("go"); }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
};

// Files the fake main program and the updater itself write in the application directory.
QStringList runArtefacts();

// Splits the raw bytes of the log into lines (CR LF ends a line; a bare LF inside a
// message does not) and the lines into fields.
QList<LogLine> parseLog(const QByteArray& bytes);

// Whether a log message is `expected`, or begins with it where it ends in "*".
bool messageMatches(const QString& message, const QString& expected);

// QtTest checks: the run ended by itself, normally, with exit code 0.
void verifyNormalExit(const AppDir& app, const UpdaterRun& run);

// QtTest checks of what every run must leave behind: a normal exit with code 0, update/
// gone, AppModel/model set, and exactly one main program (the script tagged `tag`),
// started with one empty argument in the application directory and still alive after
// the updater exited. Use QTest::currentTestFailed() afterwards.
void verifyHandedOverOnce(
    AppDir& app, const UpdaterRun& run, const QString& tag = QStringLiteral("installed"));

// QtTest checks of a run that installed a large package of `packageBytes`: a memory reading
// was taken and its peak stayed below `limitKb`. Skips the test under AddressSanitizer,
// whose shadow memory makes the resident size meaningless: call it last.
void verifyPeakMemory(const UpdaterRun& run, qint64 packageBytes, qint64 limitKb);

// The MD5 digest of a file's contents; empty when it cannot be read.
QByteArray fileMd5(const QString& path);

// Waits, with the event loop running, until `path` exists.
bool waitForFile(const QString& path, int timeoutMs);

// Text in GB2312, the encoding Config.ini is shared in.
QByteArray toGb2312(const QString& text);

#endif // APPDIR_H
