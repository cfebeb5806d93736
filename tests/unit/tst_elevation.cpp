// Whether the application directory needs an administrator: a probe file made and removed
// tells what the access rules allow (on Windows a directory's attributes cannot: Qt reads
// only its read-only mark). An immutable directory (chattr +i) refuses even root, as
// Program Files refuses a standard user.

#include "elevation.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestElevation : public QObject {
    Q_OBJECT

private slots:
    void probeTellsWhatTheDirectoryTakes();
    void thisProcessIsNoAdministratorCopy();
};

void TestElevation::probeTellsWhatTheDirectoryTakes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(directoryTakesFiles(dir.path()));
    QVERIFY2(QDir(dir.path())
                 .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
        "the probe was left behind");
    QVERIFY(!directoryTakesFiles(dir.filePath(QStringLiteral("missing"))));
#ifdef Q_OS_WIN
    QSKIP("chattr is a Linux tool; the Wine end-to-end test covers a directory that takes none");
#else
    if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), dir.path() }) != 0)
        QSKIP("this file system has no immutable attribute");
    const bool takes = directoryTakesFiles(dir.path());
    QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), dir.path() });
    QVERIFY(!takes);
#endif
}

void TestElevation::thisProcessIsNoAdministratorCopy()
{
    QVERIFY(!isAdministratorCopy());
    QCOMPARE(elevationAvailable(),
#ifdef Q_OS_WIN
        true
#else
        false
#endif
    );
}

QTEST_GUILESS_MAIN(TestElevation)
#include "tst_elevation.moc"
