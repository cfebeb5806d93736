// A verified package that cannot be installed now for a cause outside it stays whole for the
// next run, which installs it without downloading it again: a file that a virus scanner
// removes right after extraction, and the main program running from the directory, whose
// held files the installation must not wait on nor rename aside.

#include "appdir.h"
#include "nginxserver.h"
#include "reliability.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace {

const int pageCount = 2000;
const QString keptBytes = QStringLiteral("updatetarvil.partial");

QString pageName(int i) { return QStringLiteral("pages/p%1.txt").arg(i, 4, 10, QLatin1Char('0')); }

// Database 1.001: engine.dll first, then many pages, so that the extraction lasts a while
// after engine.dll is written.
QVector<ZipEntry> package()
{
    QVector<ZipEntry> entries { ZipEntry::file(QStringLiteral("engine.dll"), "engine 1.001"),
        ZipEntry::directory(QStringLiteral("pages/")) };
    for (int i = 0; i < pageCount; ++i)
        entries.append(ZipEntry::file(pageName(i), "new " + QByteArray(500, 'p')));
    return entries;
}

int packageRequests(const ReleaseSite& site)
{
    return site.nginx.requestedPaths().count(Release::databasePackagePath(QStringLiteral("1.001")));
}

} // namespace

class TestKeptPackage : public QObject {
    Q_OBJECT

private slots:
    void fileRemovedAfterExtractionIsNamedAndThePackageKept();
    void runningMainProgramPostponesTheInstallation();

private:
    void prepare(ReleaseSite& site, AppDir& app);
    void verifyUntouched(AppDir& app);
    void verifyNextRunInstallsTheKeptPackage(ReleaseSite& site, AppDir& app);
};

void TestKeptPackage::prepare(ReleaseSite& site, AppDir& app)
{
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(QStringLiteral("1.001"), package()));
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl()));
    QVERIFY(writeFileBytes(app.filePath(QStringLiteral("engine.dll")), "engine 1.000"));
}

void TestKeptPackage::verifyUntouched(AppDir& app)
{
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("engine.dll"))), QByteArray("engine 1.000"));
    QVERIFY(!QFileInfo::exists(app.filePath(pageName(0))));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("updatetarvil.journal"))));
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("update"))));
    QVERIFY(QFileInfo::exists(app.filePath(keptBytes)));
}

void TestKeptPackage::verifyNextRunInstallsTheKeptPackage(ReleaseSite& site, AppDir& app)
{
    app.resetMainProgramRecords();
    const UpdaterRun run = app.runUpdater(60000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readFileBytes(app.filePath(QStringLiteral("engine.dll"))), QByteArray("engine 1.001"));
    QVERIFY(readFileBytes(app.filePath(pageName(pageCount - 1))).startsWith("new "));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
    QVERIFY(app.logMessages(run.logOffset)
                .contains(QStringLiteral(
                    "\"1.001 package kept whole by an earlier run: %1 bytes, none to download\"")
                              .arg(QFileInfo(site.release.filePath(Release::databasePackagePath(
                                                 QStringLiteral("1.001"))))
                                       .size())));
    QCOMPARE(packageRequests(site), 1);
    QVERIFY(!QFileInfo::exists(app.filePath(keptBytes)));
}

void TestKeptPackage::fileRemovedAfterExtractionIsNamedAndThePackageKept()
{
    ReleaseSite site;
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    // What a scanner's quarantine does: the fresh DLL is gone moments after it was written.
    const QString extracted = app.filePath(QStringLiteral("update/engine.dll"));
    bool removed = false;
    RunOptions options;
    options.timeoutMs = 60000;
    options.killWhen = [&] {
        if (!removed && QFileInfo::exists(extracted))
            removed = QFile::remove(extracted);
        return false;
    };
    const UpdaterRun run = app.runUpdater(options);
    QVERIFY(removed);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    verifyUntouched(app);
    const QStringList messages = app.logMessages(run.logOffset);
    QVERIFY2(indexOfMessage(messages,
                 QStringLiteral("^\"1\\.001 install rolled back: engine\\.dll: cannot be moved "
                                "in: .*/update/engine\\.dll disappeared after extraction, likely "
                                "removed by a virus scanner\"$"))
            >= 0,
        qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY(
        indexOfMessage(messages, QStringLiteral("^\"1\\.001 package kept for the next run")) >= 0);

    verifyNextRunInstallsTheKeptPackage(site, app);
}

void TestKeptPackage::runningMainProgramPostponesTheInstallation()
{
    ReleaseSite site;
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;
    // A real executable as the main program, running from the directory.
    const QString program = app.filePath(QStringLiteral("Orbelan.exe"));
    QVERIFY(app.removeMainProgram());
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
    QProcess running;
    running.start(program, { QStringLiteral("60") });
    QVERIFY(running.waitForStarted());

    const UpdaterRun run = app.runUpdater(60000);
    verifyNormalExit(app, run);
    // Nothing waited on a held file (that wait is 10 s).
    QVERIFY2(run.elapsedMs < 8000, qPrintable(QString::number(run.elapsedMs)));
    QCOMPARE(running.state(), QProcess::Running);
    verifyUntouched(app);
    const QStringList messages = app.logMessages(run.logOffset);
    QVERIFY2(messages.contains(QStringLiteral(
                 "\"1.001 install postponed: Orbelan.exe is running from this directory\"")),
        qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.filter(QStringLiteral("down_zip-files")).size(), 0);
    QCOMPARE(messages.count(QStringLiteral("\"Orbelan.exe\"")), 1);

    running.kill();
    QVERIFY(running.waitForFinished());
    QVERIFY(QFile::remove(program));
    QVERIFY(app.installMainProgram());
    verifyNextRunInstallsTheKeptPackage(site, app);
}

QTEST_GUILESS_MAIN(TestKeptPackage)
#include "tst_keptpackage.moc"
