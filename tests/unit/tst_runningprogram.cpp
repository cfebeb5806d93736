// Whether the main program runs from the application directory: the very file counts, a
// copy of the same name elsewhere does not, and a program that has ended does not.
#include "runningprogram.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestRunningProgram : public QObject {
    Q_OBJECT

private slots:
    void onlyTheVeryFileRunningCounts();
};

void TestRunningProgram::onlyTheVeryFileRunningCounts()
{
#ifdef Q_OS_WIN
    QSKIP("the Windows process list is covered under Wine by tst_windowsupdate");
#else
    QTemporaryDir app;
    QTemporaryDir elsewhere;
    QVERIFY(app.isValid() && elsewhere.isValid());
    const QString program = app.filePath(QStringLiteral("Orbelan.exe"));
    const QString copy = elsewhere.filePath(QStringLiteral("Orbelan.exe"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), copy));
    QVERIFY(!isProgramRunning(program));

    QProcess running;
    running.start(copy, { QStringLiteral("30") });
    QVERIFY(running.waitForStarted());
    QVERIFY2(!isProgramRunning(program), "a copy elsewhere was taken for the program");
    QVERIFY(isProgramRunning(copy));

    QProcess main;
    main.start(program, { QStringLiteral("30") });
    QVERIFY(main.waitForStarted());
    QVERIFY(isProgramRunning(program));
    main.kill();
    QVERIFY(main.waitForFinished());
    QVERIFY2(!isProgramRunning(program), "an ended program still counted as running");

    running.kill();
    running.waitForFinished();
    QVERIFY(!isProgramRunning(app.filePath(QStringLiteral("missing.exe"))));
#endif
}

QTEST_GUILESS_MAIN(TestRunningProgram)
#include "tst_runningprogram.moc"
