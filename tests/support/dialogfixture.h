#ifndef DIALOGFIXTURE_H
#define DIALOGFIXTURE_H

#include "currentdir.h"
#include "faultserver.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// What the in-process tests of the dialog start from: a temporary application directory
// made current, a FaultServer on 127.0.0.1 as both servers, and Config.ini naming it.
class DialogFixture {
public:
    // QtTest checks, for init() and cleanup(). Unless a test says otherwise the program
    // question is left unanswered, so the run stays at its first step.
    void setUp();
    void tearDown();

    FaultServer& server() const { return *m_server; }
    QString filePath(const QString& relative) const { return m_dir->filePath(relative); }
    QString configPath() const { return filePath(QStringLiteral("Config.ini")); }

    // Config.ini of an installation at program and database 1.000, with the contact line
    // and a 60 s limit; `changes` sets "Section/Key" values, `omit` leaves keys out.
    // A QtTest check.
    void writeConfig(const QMap<QString, QString>& changes = {}, const QStringList& omit = {});

    static QString contactLine() { return QStringLiteral("QQ 800-820-8820"); }

private:
    std::unique_ptr<TemporaryCurrentDir> m_dir;
    std::unique_ptr<FaultServer> m_server;
};

// Runs the application's event loop as the entry point does and returns its exit code;
// -99 when nothing ended it within the limit. The timers die with the call, so no stray
// exit reaches a later test.
int runEventLoop(int limitMs, const std::function<void()>& atStart = {});

#endif // DIALOGFIXTURE_H
