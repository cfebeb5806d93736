#include "runlock.h"

RunLock::RunLock(const QString& appDir)
    : m_lock(appDir + QLatin1Char('/') + fileName())
{
    m_lock.setStaleLockTime(0);
    m_heldByAnother = !m_lock.tryLock(0) && m_lock.error() == QLockFile::LockFailedError;
}

QString RunLock::fileName() { return QStringLiteral("updatetarvil.lock"); }
