// A package installed off the window's thread: the event loop keeps running while a large
// package is checked, extracted and installed, the bar moves meanwhile, and the close button
// ends the run within a second with the installation wholly old or wholly new.

#include "configfile.h"
#include "currentdir.h"
#include "dialogfixture.h"
#include "files.h"
#include "messagecapture.h"
#include "packageinstall.h"
#include "release.h"
#include "reliability.h"
#include "transaction.h"
#include "updatetarvildialog.h"
#include "zipbuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(PackageOutcome)

namespace {

// What the installation holds, without the download directory, the journal's and Config.ini.
TreeSnapshot installationOf(const QString& app)
{
    return snapshotTree(app,
        { QStringLiteral("update"), InstallTransaction::directoryName(),
            QStringLiteral("Config.ini"), QStringLiteral("updatetarvillogs.txt") });
}

TreeSnapshot withPackage(TreeSnapshot tree, const QVector<ZipEntry>& entries)
{
    for (const ZipEntry& entry : entries) {
        if (entry.kind == ZipEntry::Directory)
            tree.insert(entry.name.chopped(1), "<dir>");
        else
            tree.insert(entry.name, entry.data);
    }
    return tree;
}

// The entry lines of the installation, in the order written.
QStringList entryLines(const QStringList& lines)
{
    const QString prefix = QStringLiteral("\"[UpdateTarvilDialog]:down_zip-files[OK]:");
    QStringList result;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            result.append(line.mid(prefix.size()).chopped(1));
    }
    return result;
}

// A package of `directories` directory entries, each followed by its files of `fileBytes`
// bytes that deflate cannot shrink, stored (deflate level 0) so that it is made quickly.
QVector<ZipEntry> packageEntries(int directories, int filesPerDirectory, int fileBytes)
{
    const QByteArray pool = noise(1 << 20, 17) + noise(fileBytes, 18);
    QVector<ZipEntry> entries;
    for (int d = 0; d < directories; ++d) {
        entries.append(ZipEntry::directory(QStringLiteral("mod%1/").arg(d)));
        for (int f = 0; f < filesPerDirectory; ++f) {
            const int n = d * filesPerDirectory + f;
            ZipEntry file = ZipEntry::file(QStringLiteral("mod%1/f%2.dll").arg(d).arg(f),
                pool.mid(int((qint64(n) * 7919) % (1 << 20)), fileBytes));
            file.level = 0;
            entries.append(file);
        }
    }
    return entries;
}

// The installation before: every other file of the package in an older version, and a file
// the package does not touch.
TreeSnapshot writeOldInstallation(const QString& app, const QVector<ZipEntry>& entries)
{
    writeFileBytes(app + QStringLiteral("/kept.txt"), "not in the package");
    for (int i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries.at(i);
        if (entry.kind == ZipEntry::Directory)
            QDir(app).mkpath(entry.name);
        else if (i % 2 == 0)
            writeFileBytes(app + QLatin1Char('/') + entry.name, "old " + entry.name.toUtf8());
    }
    return installationOf(app);
}

} // namespace

class TestResponsiveInstall : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void eventLoopKeepsTurningWhileLargePackageInstalls();
    void cancellationStopsLargeEntryMidway();
    void closeButtonEndsRunWithinOneSecondWhollyOldOrNew_data();
    void closeButtonEndsRunWithinOneSecondWhollyOldOrNew();
};

void TestResponsiveInstall::initTestCase() { qRegisterMetaType<PackageOutcome>(); }

// 3,000 entries, 300 MB: the longest time between two ticks of a 10 ms timer on this thread
// while the package is checked, extracted, installed, recorded and committed.
void TestResponsiveInstall::eventLoopKeepsTurningWhileLargePackageInstalls()
{
    TemporaryCurrentDir app;
    QVERIFY(app.isValid());
    const QVector<ZipEntry> entries = packageEntries(10, 299, 100 * 1000);
    const TreeSnapshot before = writeOldInstallation(app.path(), entries);
    QVERIFY(writeFileBytes(app.filePath("Config.ini"), "[Version]\nPROGRAM=1.000\n"));
    QVERIFY(QDir(app.path()).mkpath("update"));
    QVERIFY(writeZip(app.filePath("update/orbelan.zip"), entries));

    PackageJob job { app.filePath("update/orbelan.zip"), app.path(), "update",
        app.filePath("update"), "1.001", ConfigKey::programVersion, "1.001",
        [] { return writeConfigValue(ConfigKey::programVersion, "1.001"); }, false, {}, {} };
    PackageInstaller installer;
    QVector<int> progress;
    connect(&installer, &PackageInstaller::progressed,
        [&progress](int done, int scale) { progress.append(done * 1000 / scale); });
    QSignalSpy finished(&installer, &PackageInstaller::finished);

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    connect(&ticker, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    auto capture = std::make_unique<MessageCapture>();
    ticker.start(10);
    clock.start();
    installer.start(job);
    const bool ended = finished.wait(120000);
    const QStringList logged = entryLines(MessageCapture::lines());
    capture.reset();
    QVERIFY(ended);
    longestGap = qMax(longestGap, clock.elapsed() - lastTick);
    ticker.stop();
    qInfo("installed in %lld ms; longest event-loop stall %lld ms", clock.elapsed(), longestGap);

    const auto outcome = finished.first().first().value<PackageOutcome>();
    QVERIFY2(outcome.kind == PackageOutcome::Installed, qPrintable(outcome.reason));
    QVERIFY2(longestGap <= 250, qPrintable(QStringLiteral("stalled %1 ms").arg(longestGap)));
    // The bar moved through the installation, never back, and ended full.
    QVERIFY2(progress.size() >= 5, qPrintable(QString::number(progress.size())));
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    QCOMPARE(progress.last(), 1000);
    QVERIFY(
        std::adjacent_find(progress.begin(), progress.end(), std::less<int>()) != progress.end());

    // One line per entry, in the archive's order.
    QStringList expectedLines;
    for (const ZipEntry& entry : entries)
        expectedLines.append(app.filePath("update/" + entry.name));
    QCOMPARE(logged, expectedLines);

    const TreeSnapshot after = installationOf(app.path());
    QVERIFY2(after == withPackage(before, entries),
        qPrintable(describeDifference(withPackage(before, entries), after)));
    QCOMPARE(openConfig()->value(ConfigKey::programVersion).toString(), QStringLiteral("1.001"));
    QVERIFY(!QFileInfo::exists(app.filePath(InstallTransaction::directoryName() + "/journal")));
}

// One 300 MB entry, the installation cancelled before its extraction began: it stops after
// the first piece of the entry, not after the whole entry.
void TestResponsiveInstall::cancellationStopsLargeEntryMidway()
{
    TemporaryCurrentDir app;
    QVERIFY(app.isValid());
    ZipEntry large = ZipEntry::file("data.db", noise(300 * 1000 * 1000, 5));
    large.level = 0;
    QVERIFY(QDir(app.path()).mkpath("update"));
    QVERIFY(writeZip(app.filePath("update/database.zip"), { large }));
    large.data.clear();
    QVERIFY(writeFileBytes(app.filePath("data.db"), "old data"));

    PackageJob job { app.filePath("update/database.zip"), app.path(), "update",
        app.filePath("update"), "1.001", ConfigKey::databaseVersion, "1.001",
        [] { return writeConfigValue(ConfigKey::databaseVersion, "1.001"); }, false, {}, {} };
    InstallControl control;
    control.cancel();
    QElapsedTimer clock;
    clock.start();
    const PackageOutcome outcome = installPackageFiles(job, control);
    // Extracting the whole entry takes far longer than this on any machine here.
    QVERIFY2(clock.elapsed() < 150, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(outcome.kind, PackageOutcome::Cancelled);
    QCOMPARE(outcome.reason, QStringLiteral("1.001 install not started: cancelled"));
    QVERIFY(!QFileInfo::exists(app.filePath("update/data.db")));
    QCOMPARE(readFileBytes(app.filePath("data.db")), QByteArray("old data"));
}

void TestResponsiveInstall::closeButtonEndsRunWithinOneSecondWhollyOldOrNew_data()
{
    QTest::addColumn<QString>("clickWhen"); // the file whose appearance triggers the click
    QTest::addColumn<bool>("mayFinish"); // the package may still end up installed

    QTest::newRow("during extraction") << "update/mod0/f0.dll" << false;
    QTest::newRow("during installation")
        << InstallTransaction::directoryName() + "/journal" << true;
}

void TestResponsiveInstall::closeButtonEndsRunWithinOneSecondWhollyOldOrNew()
{
    QFETCH(QString, clickWhen);
    QFETCH(bool, mayFinish);

    DialogFixture fixture;
    fixture.setUp();
    const QString app = QDir::currentPath();
    const QVector<ZipEntry> entries = packageEntries(8, 250, 20 * 1000);
    const TreeSnapshot before = writeOldInstallation(app, entries);
    const QByteArray package = archiveBytes(entries);
    QVERIFY(!package.isEmpty());
    fixture.server().setBehaviour(
        Release::programVersionPath(), FaultServer::ok("1.001", "text/html"));
    fixture.server().setBehaviour(Release::programPackagePath(), FaultServer::ok(package));

    auto dialog = std::make_unique<UpdateTarvilDialog>();
    dialog->ensureForm();
    auto* close = dialog->findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    auto* bar = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(close && bar);
    QElapsedTimer sinceClick;
    bool barMovedForInstallation = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        // The bar starts again for the installation, on a scale of its own.
        barMovedForInstallation = barMovedForInstallation
            || (bar->maximum() == 1000 && bar->value() > 0 && bar->value() < 1000);
        if (!QFileInfo::exists(clickWhen))
            return;
        watch.stop();
        sinceClick.start();
        QTest::mouseClick(close, Qt::LeftButton);
    });
    watch.start(1);
    const int code = runEventLoop(60000);
    QCOMPARE(code, 0);
    QVERIFY2(sinceClick.isValid(), "the run ended before the click");
    const qint64 ended = sinceClick.elapsed();
    QVERIFY2(ended <= 1000, qPrintable(QStringLiteral("ended %1 ms after the click").arg(ended)));
    // Extracting came first and took longer than the bar's updates are apart.
    if (mayFinish)
        QVERIFY(barMovedForInstallation);
    dialog.reset();

    const TreeSnapshot after = installationOf(app);
    const QString recorded = openConfig()->value(ConfigKey::programVersion).toString();
    qInfo("ended %lld ms after the click, the installation %s", ended,
        after == before ? "old" : "new");
    if (after == before) {
        QCOMPARE(recorded, QStringLiteral("1.000"));
    } else {
        QVERIFY2(mayFinish, qPrintable(describeDifference(before, after)));
        QVERIFY2(after == withPackage(before, entries),
            qPrintable(describeDifference(withPackage(before, entries), after)));
        QCOMPARE(recorded, QStringLiteral("1.001"));
    }
    // Nothing left for the next start to recover.
    const QString journalDir = InstallTransaction::directoryName();
    QVERIFY(!QFileInfo::exists(journalDir + "/journal"));
    QVERIFY(!QFileInfo::exists(journalDir + "/committed"));
    fixture.tearDown();
}

QTEST_MAIN(TestResponsiveInstall)
#include "tst_responsiveinstall.moc"
