#include "packageinstall.h"

#include "configfile.h"
#include "extraction.h"
#include "installrule.h"
#include "keptindex.h"
#include "packagecheck.h"
#include "packageindex.h"
#include "transaction.h"

#include <quazip/quazip.h>

#include <QFileInfo>
#include <QStorageInfo>
#include <QtConcurrent>

namespace {

// Until the plan is known, each entry counts once for its extraction and once for its
// installation.
int entriesOf(const QString& archive)
{
    QuaZip zip(archive);
    return zip.open(QuaZip::mdUnzip) ? zip.getEntriesCount() : 0;
}

PackageOutcome failed(const QString& reason) { return { PackageOutcome::Failed, reason }; }

// Puts the extracted files in place, records the version and commits.
PackageOutcome installExtracted(
    const PackageJob& job, const QStringList& extracted, InstallControl& control)
{
    auto plan = planInstallation(extracted, job.appDir, job.downloadDir,
        [](const QString& path) { return QFileInfo(path).isDir(); });
    for (InstallAction& action : plan)
        action.logged = !job.repair;
    InstallTransaction transaction(job.appDir);
    transaction.setControl(&control);
    // The kept index changes with the files, in the same transaction.
    QString failure = addKeptIndexStep(&plan, job.appDir, job.extractDir, job.programIndex);
    if (!failure.isEmpty()
        || !transaction.prepare(plan, job.recordKey, job.recordVersion, &failure))
        return failed(QStringLiteral("%1 install not started: %2").arg(job.version, failure));
    control.setTotal(extracted.size() + transaction.entryCount());
    if (!transaction.apply(&failure)) {
        // A cancelled installation says so in `failure`.
        const QString reason
            = QStringLiteral("%1 install rolled back: %2").arg(job.version, failure);
        return { control.isCancelled() ? PackageOutcome::Cancelled : PackageOutcome::Failed, reason,
            transaction.lostExtractedFile() };
    }
    // From here on the package is finished even when cancelled: the record and the commit
    // take moments, and a rollback would take longer.
    if (!job.repair && !job.record()) {
        transaction.rollBack();
        return failed(QStringLiteral("%1 install rolled back: %2: version not recorded")
                          .arg(job.version, QLatin1String(configFileName)));
    }
    transaction.commit();
    return { PackageOutcome::Installed, QString() };
}

// The program package's index when it describes exactly this archive.
QByteArray indexOfArchive(const PackageJob& job)
{
    PackageIndex index;
    if (job.programIndex.isEmpty() || !readPackageIndex(job.programIndex, &index).isEmpty()
        || fileDigest(job.archive) != index.archiveDigest)
        return QByteArray();
    return job.programIndex;
}

} // namespace

PackageOutcome installPackageFiles(const PackageJob& given, InstallControl& control)
{
    if (given.alreadyUnpacked) {
        control.setTotal(given.unpacked.size());
        return installExtracted(given, given.unpacked, control);
    }
    PackageJob job = given;
    job.programIndex = indexOfArchive(given);
    const QString refusal = refusePackage(job.archive, QStorageInfo(job.appDir).bytesAvailable());
    if (!refusal.isEmpty())
        return failed(QStringLiteral("%1 package refused: %2").arg(job.version, refusal));
    control.setTotal(2 * qint64(entriesOf(job.archive)));
    const QStringList extracted = extractPackage(job.archive, job.extractDir, &control);
    if (control.isCancelled())
        return { PackageOutcome::Cancelled,
            QStringLiteral("%1 install not started: cancelled").arg(job.version) };
    if (extracted.isEmpty())
        return failed(QStringLiteral("%1 zip is Empty").arg(job.version));
    return installExtracted(job, extracted, control);
}

PackageInstaller::PackageInstaller(QObject* parent)
    : QObject(parent)
{
    connect(&watcher, &QFutureWatcher<PackageOutcome>::finished, this, [this] {
        ticker.stop();
        report();
        emit finished(watcher.result());
    });
    connect(&ticker, &QTimer::timeout, this, &PackageInstaller::report);
    ticker.setInterval(50);
}

PackageInstaller::~PackageInstaller()
{
    cancel();
    watcher.waitForFinished();
}

void PackageInstaller::start(const PackageJob& job)
{
    control = std::make_shared<InstallControl>();
    const auto shared = control;
    watcher.setFuture(
        QtConcurrent::run([job, shared] { return installPackageFiles(job, *shared); }));
    ticker.start();
}

bool PackageInstaller::isRunning() const { return watcher.isRunning(); }

void PackageInstaller::cancel()
{
    if (control)
        control->cancel();
}

void PackageInstaller::report()
{
    if (control)
        emit progressed(control->fraction(1000), 1000);
}
