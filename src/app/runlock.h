#ifndef RUNLOCK_H
#define RUNLOCK_H

#include <QLockFile>
#include <QString>

// One updater per application directory. A second click while the first updater asks its
// questions unseen starts a second one, which must not take the first's journal for a crashed
// run's, nor touch its download or Config.ini. The lock file is held for the whole run; the
// lock of a killed updater is stale, its process being gone (age alone never makes it so).
class RunLock {
public:
    explicit RunLock(const QString& appDir);
    // Another updater holds the directory: this one ends at once, and without a hand-over,
    // since the first one hands over. A directory where no lock can be made (read-only) is
    // not held by anyone: the run goes on as it does in any directory it cannot change.
    bool heldByAnother() const { return m_heldByAnother; }

    static QString fileName();

private:
    QString m_path;
    QLockFile m_lock;
    bool m_heldByAnother = false;
};

#endif // RUNLOCK_H
