#ifndef TRANSACTION_H
#define TRANSACTION_H

#include "installcontrol.h"
#include "installrule.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// Puts one package's files in place all together or not at all. Before the installation
// changes, a journal of the planned steps is written and flushed; each replaced file is
// renamed into a backup directory beside the journal, so a failure or a killed run can be
// rolled back by renames. The version record in Config.ini decides, after a kill, whether
// the package counts as installed: the dialog records it between apply() and commit().
class InstallTransaction {
public:
    explicit InstallTransaction(const QString& appDir);

    // The directory, directly in the application directory, of the journal and backups.
    static QString directoryName();

    // Checks the plan and writes the flushed journal naming `version` as the value that
    // `recordKey` takes when the package is installed. Drops the Config.ini entries as the
    // installation rule demands. False with the reason (nothing of the installation
    // changed) when the plan reaches the journal's directory or the journal cannot be
    // written.
    bool prepare(const QVector<InstallAction>& plan, const QString& recordKey,
        const QString& version, QString* reason);
    // Where apply() and rollBack() look for a cancellation, between files and while they
    // wait for a file another process holds, and count the entries done. Optional.
    void setControl(InstallControl* control);
    // Moves the files in, writing the installation's log lines in archive order. A file
    // another process holds is waited for up to about 10 s. On a failure everything is
    // rolled back and `reason` is "<target>: <what failed>", or "cancelled".
    bool apply(QString* reason);
    // After a failed apply(): an extracted file was gone when it was to be moved in.
    bool lostExtractedFile() const { return extractedFileLost; }
    // The extracted paths the plan installs (all but the dropped ones).
    int entryCount() const { return order.size(); }
    // Undoes apply(). The journal stays when a step could not be undone, for the next start.
    bool rollBack();
    // The version is recorded: drops the journal and the backups. A backup that cannot be
    // deleted (a running program renamed aside) is left for a later run to remove.
    void commit();

    // Finishes what a killed run left: a journal whose version `recorded(key)` holds is
    // cleaned up, any other is rolled back. Returns the one log line, empty when there was
    // nothing to do. Then removeLeftovers().
    static QString recover(
        const QString& appDir, const std::function<QString(const QString& key)>& recorded);

    // Removes the journal's directory with whatever it holds (backups a cleanup could not
    // delete) unless an installation there is unfinished.
    static void removeLeftovers(const QString& appDir);

    struct Step {
        bool directory = false;
        QStringList entries; // the extracted paths that name this target, last one wins
        QString target; // relative to the application directory
        bool existed = false; // a file: it is renamed aside; a directory: not created
    };

private:
    struct Entry {
        int step;
        QString path;
        bool logged;
    };
    bool writeJournal(QString* reason);
    void logEntry(const Entry& entry) const;
    bool applyStep(int index, QString* reason);
    bool replaceFile(int index, QString* reason);
    bool undoStep(int index);
    QString path(const QString& relative) const;
    QString backupPath(int index) const;
    bool readJournal(const QString& fileName);
    void dropJournal(const QString& fileName);

    QString appDir;
    QString journalDir;
    QString backupDir; // relative to journalDir
    QString recordKey;
    QString version;
    QVector<Step> steps;
    QVector<Entry> order; // the installed entries in archive order
    InstallControl* control = nullptr;
    bool extractedFileLost = false;
};

#endif // TRANSACTION_H
