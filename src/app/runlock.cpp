#include "runlock.h"

#include <QFileInfo>

RunLock::RunLock(const QString& appDir)
    : m_path(appDir + QLatin1Char('/') + fileName())
    , m_lock(m_path)
{
    m_lock.setStaleLockTime(0);
    // Windows answers a file that cannot be made in a directory the user may not write as it
    // answers one held open, and Qt takes both for a held lock: only a lock file that is there
    // is another updater's.
    m_heldByAnother = !m_lock.tryLock(0) && m_lock.error() == QLockFile::LockFailedError
        && QFileInfo::exists(m_path);
}

QString RunLock::fileName() { return QStringLiteral("updatetarvil.lock"); }
