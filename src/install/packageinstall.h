#ifndef PACKAGEINSTALL_H
#define PACKAGEINSTALL_H

#include "installcontrol.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

// One downloaded package to install: checked, extracted into `extractDir`, put in place
// through an InstallTransaction, recorded, committed.
struct PackageJob {
    QString archive;
    QString appDir; // the installation, the plan's root
    QString downloadDir; // as the installation rule sees it
    QString extractDir; // absolute
    QString version; // named in the reasons
    QString recordKey;
    QString recordVersion;
    // Writes the version record (with its log line); runs on the installing thread between
    // the files and the commit. False: the package is rolled back.
    std::function<bool()> record;
    // The differential path: the files already unpacked into `extractDir` (none when nothing
    // differs), in the order the installation rule takes them; otherwise `archive` is
    // checked and extracted.
    bool alreadyUnpacked = false;
    QStringList unpacked;
    // The verified index of the program package (empty when none, and for the database);
    // it becomes the kept index in the same transaction, for a whole archive only when the
    // archive is the one it describes.
    QByteArray programIndex;
    // Restores damaged files of the installed version: nothing is recorded, and no file is
    // logged as a package entry installed.
    bool repair = false;
};

struct PackageOutcome {
    enum Kind { Installed, Failed, Cancelled };
    Kind kind = Failed;
    QString reason; // the one log line of a package not installed
    // Not installed for a cause outside the package (a file of it removed after extraction,
    // the main program running): the package stays for the next run.
    bool keepPackage = false;
};

// The whole installation of `job`, on the calling thread. `control` stops it between entries
// (the installation then as it was), unless only the record and the commit remain, and
// counts the entries extracted and installed.
PackageOutcome installPackageFiles(const PackageJob& job, InstallControl& control);

// Runs installPackageFiles() on a worker thread, so the window's thread keeps its event
// loop; reports on the thread it lives in.
class PackageInstaller : public QObject {
    Q_OBJECT

public:
    explicit PackageInstaller(QObject* parent = nullptr);
    // Cancels a running installation and waits for it to end.
    ~PackageInstaller() override;

    void start(const PackageJob& job);
    bool isRunning() const;
    // Asks the running installation to stop; finished() follows.
    void cancel();

signals:
    // The part done, from 0 to `scale`, every few tens of milliseconds while it runs.
    void progressed(int done, int scale);
    void finished(const PackageOutcome& outcome);

private:
    void report();

    std::shared_ptr<InstallControl> control;
    QFutureWatcher<PackageOutcome> watcher;
    QTimer ticker;
};

#endif // PACKAGEINSTALL_H
