// The installation transaction on its own: a package lands whole or not at all, a journal
// left by a killed run is rolled back or cleaned up by what Config.ini records, and no
// package can reach the journal's directory.

#include "files.h"
#include "messagecapture.h"
#include "reliability.h"
#include "transaction.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

namespace {

QString entryLine(const QString& path)
{
    return QStringLiteral("\"[UpdateTarvilDialog]:down_zip-files[OK]:%1\"").arg(path);
}

// Makes `path` immutable, as a scanner's hold does to a rename, and lets it go after
// `releaseAfterMs` (never when negative: the destructor does). False where the file system
// has no immutable files.
class Hold {
public:
    explicit Hold(const QString& path)
        : m_path(path)
    {
    }
    ~Hold()
    {
        m_release.waitForFinished(30000);
        QProcess::execute("chattr", { "-i", m_path });
    }
    bool take(int releaseAfterMs)
    {
        if (QProcess::execute("chattr", { "+i", m_path }) != 0)
            return false;
        if (releaseAfterMs >= 0) {
            m_release.start("sh",
                { "-c", QStringLiteral("sleep %1; chattr -i \"$0\"").arg(releaseAfterMs / 1000.0),
                    m_path });
            return m_release.waitForStarted();
        }
        return true;
    }

private:
    QString m_path;
    QProcess m_release;
};

const QString key = QStringLiteral("Version/DATABASE");

// An installation with an old file, a directory with an old library, and a package
// extracted into update/ that replaces both and brings a new file and a new directory.
struct Fixture {
    QTemporaryDir dir;
    QString app;
    QVector<InstallAction> plan;

    Fixture()
        : app(dir.path())
    {
        writeFileBytes(app + "/prog.txt", "old prog");
        QDir(app).mkpath("lib");
        writeFileBytes(app + "/lib/a.dll", "old a.dll");
        writeFileBytes(app + "/kept.txt", "not in the package");
        QDir(app).mkpath("update/lib");
        QDir(app).mkpath("update/plugins");
        writeFileBytes(app + "/update/prog.txt", "new prog");
        writeFileBytes(app + "/update/new.txt", "new file");
        writeFileBytes(app + "/update/lib/a.dll", "new a.dll");
        writeFileBytes(app + "/update/plugins/p.dll", "new plugin");
        file("prog.txt", "prog.txt");
        file("new.txt", "new.txt");
        plan.append({ InstallAction::MakeDirectory, app + "/update/lib/", app + "/lib" });
        file("lib/a.dll", "lib/a.dll");
        plan.append({ InstallAction::MakeDirectory, app + "/update/plugins/", app + "/plugins" });
        file("plugins/p.dll", "plugins/p.dll");
    }
    void file(const QString& source, const QString& target)
    {
        plan.append({ InstallAction::InstallFile, app + "/update/" + source, app + "/" + target });
    }
    // The installation without the download directory and the journal's.
    TreeSnapshot installation() const
    {
        return snapshotTree(app, { "update", InstallTransaction::directoryName() });
    }
    QString recorded = QStringLiteral("1.000");
    QString recover()
    {
        return InstallTransaction::recover(
            app, [this](const QString& name) { return name == key ? recorded : QString(); });
    }
    bool journalDirGone() const
    {
        return !QFileInfo::exists(app + "/" + InstallTransaction::directoryName());
    }
};

TreeSnapshot expectedNew(const TreeSnapshot& old)
{
    TreeSnapshot result = old;
    result.insert("prog.txt", "new prog");
    result.insert("new.txt", "new file");
    result.insert("lib/a.dll", "new a.dll");
    result.insert("plugins", "<dir>");
    result.insert("plugins/p.dll", "new plugin");
    return result;
}

} // namespace

class TestTransaction : public QObject {
    Q_OBJECT

private slots:
    void committedPackageReplacesEveryFileAndLeavesNoJournal();
    void failedStepRestoresInstallationByteForByte_data();
    void failedStepRestoresInstallationByteForByte();
    void killedRunIsResolvedByRecordedVersion_data();
    void killedRunIsResolvedByRecordedVersion();
    void rollbackRepeatedAfterItsOwnInterruptionChangesNothing();
    void planReachingJournalDirectoryIsRefused_data();
    void planReachingJournalDirectoryIsRefused();
    void duplicateTargetsInstallLastEntryAndRollBackToOld();
    void leftoverBackupsAreRemovedAtStart();
    void undeletableBackupDoesNotFailCommit();
    void fileHeldForMomentsIsStillReplaced();
    void heldFileIsWaitedForUpToTenSeconds_data();
    void heldFileIsWaitedForUpToTenSeconds();
    void cancellationEndsWaitForHeldFileWithinOneSecond();
    void cancellationBetweenFilesRollsBack_data();
    void cancellationBetweenFilesRollsBack();
    void entryLinesFollowArchiveOrder();
    void unreadableJournalBlocksFurtherInstalls();
};

void TestTransaction::committedPackageReplacesEveryFileAndLeavesNoJournal()
{
    Fixture f;
    const TreeSnapshot before = f.installation();
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY2(transaction.prepare(f.plan, key, "1.001", &reason), qPrintable(reason));
    QVERIFY2(transaction.apply(&reason), qPrintable(reason));
    transaction.commit();
    QCOMPARE(f.installation().value("prog.txt"), QByteArray("new prog"));
    InstallTransaction::removeLeftovers(f.app);
    QCOMPARE(f.installation(), expectedNew(before));
    QVERIFY(f.journalDirGone());
    // Renames, not copies: the extracted files are gone from update/.
    QVERIFY(!QFileInfo::exists(f.app + "/update/prog.txt"));
}

void TestTransaction::failedStepRestoresInstallationByteForByte_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("expectedReason"); // wildcard
    QTest::newRow("directory where the last file goes")
        << "dir:plugins/p.dll"
        << "plugins/p.dll: a directory is in the way";
    QTest::newRow("file where a directory is created")
        << "file:plugins"
        << "plugins: the directory cannot be created";
    QTest::newRow("extracted file missing") << "missing:update/plugins/p.dll"
                                            << "plugins/p.dll: cannot be moved in: *";
}

void TestTransaction::failedStepRestoresInstallationByteForByte()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, expectedReason);
    Fixture f;
    const QString kind = obstacle.section(':', 0, 0);
    const QString where = f.app + "/" + obstacle.section(':', 1);
    if (kind == "dir")
        QVERIFY(QDir().mkpath(where));
    else if (kind == "file")
        QVERIFY(writeFileBytes(where, "in the way"));
    else
        QVERIFY(QFile::remove(where));
    const TreeSnapshot before = f.installation();

    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY2(transaction.prepare(f.plan, key, "1.001", &reason), qPrintable(reason));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!transaction.apply(&reason));
    // Nothing waiting could change: no wait for a hold to end.
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    InstallTransaction::removeLeftovers(f.app);
    // "*" stands for any text, a system's error message with a "/" in it included.
    const QString pattern = QRegularExpression::escape(expectedReason).replace("\\*", ".*");
    QVERIFY2(QRegularExpression("^" + pattern + "$").match(reason).hasMatch(), qPrintable(reason));
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QVERIFY(f.journalDirGone());
}

void TestTransaction::killedRunIsResolvedByRecordedVersion_data()
{
    QTest::addColumn<bool>("applied"); // the kill came after every file was moved in
    QTest::addColumn<QString>("recorded"); // Config.ini's value at the next start
    QTest::addColumn<bool>("installed"); // the outcome: the new files or the old ones
    QTest::addColumn<QString>("line");
    QTest::newRow("killed after the journal, before any file")
        << false << "1.000" << false << "1.001 install recovered: rolled back";
    QTest::newRow("killed after the files, before the record")
        << true << "1.000" << false << "1.001 install recovered: rolled back";
    QTest::newRow("killed after the record, before the journal is marked")
        << true << "1.001" << true << "1.001 install recovered: cleaned up";
}

void TestTransaction::killedRunIsResolvedByRecordedVersion()
{
    QFETCH(bool, applied);
    QFETCH(QString, recorded);
    QFETCH(bool, installed);
    QFETCH(QString, line);
    Fixture f;
    const TreeSnapshot before = f.installation();
    {
        // Dropped without commit or rollback: what a kill leaves on the disk.
        InstallTransaction transaction(f.app);
        QString reason;
        QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
        if (applied)
            QVERIFY(transaction.apply(&reason));
    }
    QVERIFY(!f.journalDirGone());
    f.recorded = recorded;
    QCOMPARE(f.recover(), line);
    const TreeSnapshot expected = installed ? expectedNew(before) : before;
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == expected, qPrintable(describeDifference(expected, after)));
    QVERIFY(f.journalDirGone());
    QCOMPARE(f.recover(), QString());
}

// A rollback that runs again over a state it already restored (a kill just before it
// could delete the journal) must leave that state alone.
void TestTransaction::rollbackRepeatedAfterItsOwnInterruptionChangesNothing()
{
    Fixture f;
    const TreeSnapshot before = f.installation();
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    QVERIFY(transaction.apply(&reason));
    const QString journalDir = f.app + "/" + InstallTransaction::directoryName();
    QVERIFY(QFile::copy(journalDir + "/journal", f.app + "/journal.saved"));
    QVERIFY(transaction.rollBack());
    QCOMPARE(f.installation().remove("journal.saved"), 1);
    QVERIFY(QDir().mkpath(journalDir + "/backup-1"));
    QVERIFY(QFile::rename(f.app + "/journal.saved", journalDir + "/journal"));
    QCOMPARE(f.recover(), QStringLiteral("1.001 install recovered: rolled back"));
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
}

void TestTransaction::planReachingJournalDirectoryIsRefused_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("the journal") << InstallTransaction::directoryName() + "/journal";
    QTest::newRow("a backup") << InstallTransaction::directoryName() + "/backup-1/0";
    QTest::newRow("the directory itself") << InstallTransaction::directoryName();
    QTest::newRow("another spelling") << "UpdateTarvil.JOURNAL/committed";
}

void TestTransaction::planReachingJournalDirectoryIsRefused()
{
    QFETCH(QString, target);
    Fixture f;
    f.plan.prepend({ InstallAction::InstallFile, f.app + "/update/new.txt", f.app + "/" + target });
    const TreeSnapshot before = snapshotTree(f.app);
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(!transaction.prepare(f.plan, key, "1.001", &reason));
    QVERIFY2(reason.endsWith(": reserved for the installation journal"), qPrintable(reason));
    QCOMPARE(snapshotTree(f.app), before);
}

void TestTransaction::duplicateTargetsInstallLastEntryAndRollBackToOld()
{
    Fixture f;
    QVERIFY(writeFileBytes(f.app + "/update/second.txt", "second prog"));
    f.file("second.txt", "prog.txt");
    const TreeSnapshot before = f.installation();
    {
        InstallTransaction transaction(f.app);
        QString reason;
        QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
        QVERIFY(transaction.apply(&reason));
        QCOMPARE(readFileBytes(f.app + "/prog.txt"), QByteArray("second prog"));
        QVERIFY(transaction.rollBack());
    }
    InstallTransaction::removeLeftovers(f.app);
    QVERIFY(f.journalDirGone());
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
}

void TestTransaction::leftoverBackupsAreRemovedAtStart()
{
    Fixture f;
    const QString journalDir = f.app + "/" + InstallTransaction::directoryName();
    QVERIFY(QDir().mkpath(journalDir + "/backup-1"));
    QVERIFY(writeFileBytes(journalDir + "/backup-1/3", "a running program's old file"));
    QCOMPARE(f.recover(), QString());
    QVERIFY(f.journalDirGone());
}

// As the running updater's own old executable on Windows: renamed aside, but not deletable.
void TestTransaction::undeletableBackupDoesNotFailCommit()
{
    Fixture f;
    const TreeSnapshot before = f.installation();
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    QVERIFY(transaction.apply(&reason));
    const QString backup = f.app + "/" + InstallTransaction::directoryName() + "/backup-1/0";
    QCOMPARE(readFileBytes(backup), QByteArray("old prog"));
    if (QProcess::execute("chattr", { "+i", backup }) != 0)
        QSKIP("this file system has no immutable files");
    transaction.commit();
    QProcess::execute("chattr", { "-i", backup });
    QCOMPARE(f.installation(), expectedNew(before));
    // Committed all the same: the next start only removes the leftover.
    QVERIFY(!QFileInfo::exists(f.app + "/" + InstallTransaction::directoryName() + "/journal"));
    f.recorded = QStringLiteral("1.001");
    QCOMPARE(f.recover(), QString());
    QVERIFY(f.journalDirGone());
    QCOMPARE(f.installation(), expectedNew(before));
}

// As a scanner holding a freshly written file on Windows: the first attempts fail, a later
// one within the retries succeeds. (`chattr +i` stands in for the hold.)
void TestTransaction::fileHeldForMomentsIsStillReplaced()
{
    Fixture f;
    const QString held = f.app + "/lib/a.dll";
    if (QProcess::execute("chattr", { "+i", held }) != 0)
        QSKIP("this file system has no immutable files");
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    // Released well after the first attempt, well within the retries.
    QProcess release;
    release.start("sh", { "-c", "sleep 0.04; chattr -i \"$0\"", held });
    QVERIFY(release.waitForStarted());
    const bool applied = transaction.apply(&reason);
    QVERIFY(release.waitForFinished());
    QProcess::execute("chattr", { "-i", held });
    QVERIFY2(applied, qPrintable(reason));
    QCOMPARE(readFileBytes(held), QByteArray("new a.dll"));
    transaction.commit();
}

void TestTransaction::heldFileIsWaitedForUpToTenSeconds_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("held 2 s: replaced once released") << 2000 << true;
    QTest::newRow("held 14 s: rolled back after about 10 s") << 14000 << false;
}

// A scanner's hold on a file of the installation: waited out when it ends within about 10 s,
// otherwise the package is rolled back as any other failure.
void TestTransaction::heldFileIsWaitedForUpToTenSeconds()
{
    QFETCH(int, holdMs);
    QFETCH(bool, replaced);
    Fixture f;
    const TreeSnapshot before = f.installation();
    const QString held = f.app + "/lib/a.dll";
    Hold hold(held);
    if (!hold.take(holdMs))
        QSKIP("this file system has no immutable files");
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    QElapsedTimer clock;
    clock.start();
    const bool applied = transaction.apply(&reason);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(applied, replaced);
    if (replaced) {
        QVERIFY2(elapsed >= holdMs - 100, qPrintable(QString::number(elapsed)));
        QCOMPARE(readFileBytes(held), QByteArray("new a.dll"));
        transaction.commit();
        return;
    }
    QVERIFY2(elapsed >= 9500 && elapsed < 13000, qPrintable(QString::number(elapsed)));
    QVERIFY2(reason.startsWith("lib/a.dll: cannot be moved aside: "), qPrintable(reason));
    InstallTransaction::removeLeftovers(f.app);
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QVERIFY(f.journalDirGone());
}

// The close button while a held file is waited for: the wait ends at once and everything
// done so far is undone.
void TestTransaction::cancellationEndsWaitForHeldFileWithinOneSecond()
{
    Fixture f;
    const TreeSnapshot before = f.installation();
    Hold hold(f.app + "/lib/a.dll");
    if (!hold.take(-1))
        QSKIP("this file system has no immutable files");
    InstallTransaction transaction(f.app);
    InstallControl control;
    transaction.setControl(&control);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    QFuture<bool> applied = QtConcurrent::run([&] { return transaction.apply(&reason); });
    QTest::qWait(300);
    QVERIFY(applied.isRunning());
    QElapsedTimer clock;
    clock.start();
    control.cancel();
    applied.waitForFinished();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!applied.result());
    QCOMPARE(reason, QStringLiteral("cancelled"));
    InstallTransaction::removeLeftovers(f.app);
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QVERIFY(f.journalDirGone());
}

void TestTransaction::cancellationBetweenFilesRollsBack_data()
{
    QTest::addColumn<int>("cancelAtEntry"); // cancelled as this entry's line is written
    QTest::addColumn<bool>("applied"); // nothing was left to stop
    QTest::newRow("at the first entry") << 0 << false;
    QTest::newRow("at the first directory") << 2 << false;
    QTest::newRow("one entry before the last") << 4 << false;
    QTest::newRow("at the last entry: every file is in") << 5 << true;
}

void TestTransaction::cancellationBetweenFilesRollsBack()
{
    QFETCH(int, cancelAtEntry);
    QFETCH(bool, applied);
    Fixture f;
    const TreeSnapshot before = f.installation();
    InstallTransaction transaction(f.app);
    InstallControl control;
    transaction.setControl(&control);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    const QString cancelLine = entryLine(f.plan.at(cancelAtEntry).source);
    {
        MessageCapture capture([&](const QString& line) {
            if (line == cancelLine)
                control.cancel();
        });
        QCOMPARE(transaction.apply(&reason), applied);
    }
    if (applied) {
        transaction.commit();
        InstallTransaction::removeLeftovers(f.app);
        QCOMPARE(f.installation(), expectedNew(before));
        return;
    }
    QCOMPARE(reason, QStringLiteral("cancelled"));
    // The entry being installed when the cancellation came is finished, no later one begun.
    QStringList entries;
    for (const QString& line : MessageCapture::lines()) {
        if (line.contains("down_zip-files"))
            entries.append(line);
    }
    QCOMPARE(entries.size(), cancelAtEntry + 1);
    InstallTransaction::removeLeftovers(f.app);
    const TreeSnapshot after = f.installation();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QVERIFY(f.journalDirGone());
}

// One line per entry in the archive's order, a directory's line followed by its own, even
// where two entries name one target.
void TestTransaction::entryLinesFollowArchiveOrder()
{
    Fixture f;
    QVERIFY(writeFileBytes(f.app + "/update/second.txt", "second prog"));
    f.file("second.txt", "prog.txt");
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(transaction.prepare(f.plan, key, "1.001", &reason));
    {
        MessageCapture capture;
        QVERIFY2(transaction.apply(&reason), qPrintable(reason));
    }
    QStringList expected;
    for (const InstallAction& action : qAsConst(f.plan)) {
        expected.append(entryLine(action.source));
        if (action.kind == InstallAction::MakeDirectory)
            expected.append(QStringLiteral("temppath: \"%1\"").arg(action.target));
    }
    QCOMPARE(MessageCapture::lines(), expected);
    QCOMPARE(readFileBytes(f.app + "/prog.txt"), QByteArray("second prog"));
    transaction.commit();
}

void TestTransaction::unreadableJournalBlocksFurtherInstalls()
{
    Fixture f;
    const QString journalDir = f.app + "/" + InstallTransaction::directoryName();
    QVERIFY(QDir().mkpath(journalDir));
    QVERIFY(writeFileBytes(journalDir + "/journal", "not a journal"));
    QVERIFY(f.recover().startsWith("install journal unreadable: "));
    const TreeSnapshot before = snapshotTree(f.app);
    InstallTransaction transaction(f.app);
    QString reason;
    QVERIFY(!transaction.prepare(f.plan, key, "1.001", &reason));
    QVERIFY2(reason.endsWith(": an earlier installation is unfinished"), qPrintable(reason));
    QCOMPARE(snapshotTree(f.app), before);
}

QTEST_GUILESS_MAIN(TestTransaction)

#include "tst_transaction.moc"
