// One updater per application directory: a second one, started while the first installs a
// package of many files, changes nothing and starts no main program; the lock of an updater
// that was killed does not stop the next one.

#include "appdir.h"
#include "nginxserver.h"
#include "reliability.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace {

const QString lockName = QStringLiteral("updatetarvil.lock");
const QString secondLine
    = QStringLiteral("\"another updater is running in this directory; this one ends\"");
const int pageCount = 2000;

QString pageName(int i) { return QStringLiteral("pages/p%1.txt").arg(i, 4, 10, QLatin1Char('0')); }

// Database 1.001: a directory of many pages, so its installation lasts a while.
QVector<ZipEntry> manyPages(const QByteArray& version)
{
    QVector<ZipEntry> entries { ZipEntry::directory(QStringLiteral("pages/")) };
    for (int i = 0; i < pageCount; ++i)
        entries.append(ZipEntry::file(pageName(i), version + QByteArray(2000, 'p')));
    return entries;
}

bool logHas(const AppDir& app, const QString& line)
{
    return app.logBytes().contains(line.toUtf8());
}

} // namespace

class TestOneUpdater : public QObject {
    Q_OBJECT

private slots:
    void secondUpdaterDuringAnInstallationChangesNothing();
    void lockOfAKilledUpdaterIsStale();

private:
    void prepare(ReleaseSite& site, AppDir& app);
    void verifyInstalledOnce(AppDir& app, const UpdaterRun& run);
};

void TestOneUpdater::prepare(ReleaseSite& site, AppDir& app)
{
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.001"), manyPages("new ")));
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl()));
    QVERIFY(QDir(app.path()).mkpath(QStringLiteral("pages")));
    for (int i = 0; i < pageCount; ++i)
        QVERIFY(writeFileBytes(app.filePath(pageName(i)), "old"));
}

// Wholly new, recorded, one main program start, no lock or journal left.
void TestOneUpdater::verifyInstalledOnce(AppDir& app, const UpdaterRun& run)
{
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
    for (int i = 0; i < pageCount; ++i)
        QVERIFY2(
            readFileBytes(app.filePath(pageName(i))).startsWith("new "), qPrintable(pageName(i)));
    QVERIFY(!QFileInfo::exists(app.filePath(lockName)));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("updatetarvil.journal"))));
}

void TestOneUpdater::secondUpdaterDuringAnInstallationChangesNothing()
{
    ReleaseSite site;
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    // The second updater starts once the first has begun to put files in place, and runs to
    // its end before the first is polled again.
    int secondExit = -2;
    qint64 secondLogOffset = -1;
    RunOptions options;
    options.timeoutMs = 60000;
    options.killWhen = [&] {
        if (secondExit != -2 || !logHas(app, QStringLiteral("down_zip-files[OK]")))
            return false;
        secondLogOffset = QFileInfo(app.filePath(AppDir::logFile())).size();
        QProcess second;
        second.setWorkingDirectory(app.workingDirectory());
        second.start(app.updaterPath(), QStringList());
        secondExit = second.waitForFinished(15000) && second.exitStatus() == QProcess::NormalExit
            ? second.exitCode()
            : -1;
        return false;
    };
    const UpdaterRun run = app.runUpdater(options);
    QCOMPARE(secondExit, 0);
    QVERIFY2(
        app.logBytes(secondLogOffset).contains(secondLine.toUtf8()), app.logBytes().constData());
    verifyInstalledOnce(app, run);
    // The first updater's log is whole: every entry of the package, then its hand-over.
    const QStringList messages = app.logMessages(run.logOffset);
    QCOMPARE(messages.filter(QStringLiteral("down_zip-files[OK]")).size(), pageCount + 1);
    QCOMPARE(messages.count(QStringLiteral("\"Orbelan.exe\"")), 1);
    QVERIFY(!messages.join(QLatin1Char('\n')).contains(QStringLiteral("install recovered")));
}

void TestOneUpdater::lockOfAKilledUpdaterIsStale()
{
    ReleaseSite site;
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    RunOptions options;
    options.timeoutMs = 60000;
    options.killWhen = [&] { return logHas(app, QStringLiteral("download - curType: 1")); };
    const UpdaterRun killed = app.runUpdater(options);
    QVERIFY(killed.killed);
    // The killed updater's lock is still there; its process is gone.
    QVERIFY(QFileInfo::exists(app.filePath(lockName)));
    app.resetMainProgramRecords();

    const UpdaterRun run = app.runUpdater(60000);
    QVERIFY2(
        !app.logBytes(run.logOffset).contains(secondLine.toUtf8()), app.logBytes().constData());
    verifyInstalledOnce(app, run);
}

QTEST_GUILESS_MAIN(TestOneUpdater)
#include "tst_oneupdater.moc"
