#ifndef WINEAPP_H
#define WINEAPP_H

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// One start of the Windows stand-in for the main program, as it recorded itself.
struct WindowsStart {
    int argumentCount = -1;
    QString firstArgument;
    QString workingDirectory; // as Windows saw it, e.g. Z:\tmp\...\app
};

// A Windows application directory for the Windows build of the updater, run under Wine:
// UpdateTarvil.exe with its DLLs and plugins (from <build>/dist), the stand-in main program
// as Orbelan.exe, Config.ini. `name` is the application directory's own name, so a test can
// give it Chinese characters and spaces. UPDATER_WINDOWS_BUILD names the Windows build tree.
class WineApp {
public:
    explicit WineApp(const QString& name = QStringLiteral("app"));
    bool isValid() const { return m_valid; }
    QString path() const { return m_app; }
    QString filePath(const QString& relative) const;
    static QString windowsBuild();
    static QString helper(const QString& name); // a program of <build>/helpers

    bool writeConfigBytes(const QByteArray& bytes);
    QByteArray configBytes() const;
    QString configValue(const QString& key) const;

    // Runs UpdateTarvil.exe under Wine from the application directory and waits until it
    // exits (true) or `timeoutMs` passes (then it is killed and false is returned).
    bool runUpdater(int timeoutMs = 120000);
    // Starts a program under Wine in the background; it ends with the test at the latest.
    bool startBackground(const QString& program, const QStringList& arguments);
    int exitCode() const { return m_exitCode; }

    QString logText() const; // the log, decoded as Windows wrote it (code page 936)
    QList<WindowsStart> mainProgramStarts() const;
    bool waitForStarts(int count, int timeoutMs = 30000) const;
    QString runOutput() const { return m_output; }

private:
    QProcess* wineProcess(const QString& program, const QStringList& arguments);
    bool populate();

    QTemporaryDir m_root;
    QString m_app;
    bool m_valid = false;
    int m_exitCode = -1;
    QString m_output;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

#endif // WINEAPP_H
