#include "runningprogram.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <vector>

#include <windows.h>

#include <tlhelp32.h>

namespace {

QString imageOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return QString();
    std::vector<wchar_t> buffer(32768);
    DWORD size = DWORD(buffer.size());
    const bool read = QueryFullProcessImageNameW(process, 0, buffer.data(), &size);
    CloseHandle(process);
    return read ? QString::fromWCharArray(buffer.data(), int(size)) : QString();
}

} // namespace

bool isProgramRunning(const QString& path)
{
    const QString wanted = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    const QString name = QFileInfo(path).fileName();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        // Only processes of the same file name are opened and asked for their image.
        if (entry.th32ProcessID == self
            || QString::fromWCharArray(entry.szExeFile).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        found = imageOf(entry.th32ProcessID).compare(wanted, Qt::CaseInsensitive) == 0;
    }
    CloseHandle(snapshot);
    return found;
}

#else

bool isProgramRunning(const QString& path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    if (wanted.isEmpty())
        return false;
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isProcess = false;
        entry.toLongLong(&isProcess);
        if (!isProcess || entry == self)
            continue;
        if (QFileInfo(proc.filePath(entry) + QStringLiteral("/exe")).symLinkTarget() == wanted)
            return true;
    }
    return false;
}

#endif
