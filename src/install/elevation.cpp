#include "elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryFile>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

const QString marker = QStringLiteral("--administrator-copy");

} // namespace

bool directoryTakesFiles(const QString& directory)
{
    QTemporaryFile probe(directory + QStringLiteral("/updatetarvil.probe"));
    return probe.open();
}

bool elevationAvailable()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

bool isAdministratorCopy() { return QCoreApplication::arguments().contains(marker); }

ElevatedCopy::ElevatedCopy(QObject* parent)
    : QObject(parent)
    , m_poll(new QTimer(this))
{
    m_poll->setInterval(200);
    connect(m_poll, &QTimer::timeout, this, &ElevatedCopy::poll);
}

ElevatedCopy::~ElevatedCopy()
{
#ifdef Q_OS_WIN
    if (m_process)
        CloseHandle(m_process);
#endif
}

bool ElevatedCopy::start(const QString& directory, QString* reason)
{
#ifdef Q_OS_WIN
    const std::wstring program
        = QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString();
    const std::wstring parameters = marker.toStdWString();
    const std::wstring workingDirectory = QDir::toNativeSeparators(directory).toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = workingDirectory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info) || !info.hProcess) {
        const DWORD code = GetLastError();
        *reason = code == ERROR_CANCELLED
            ? QStringLiteral("the administrator's consent was refused")
            : QStringLiteral("Windows error %1").arg(code);
        return false;
    }
    m_process = info.hProcess;
    m_poll->start();
    return true;
#else
    Q_UNUSED(directory)
    *reason = QStringLiteral("no elevation on this system");
    return false;
#endif
}

// Polled rather than waited for, so that the window's thread keeps its event loop.
void ElevatedCopy::poll()
{
#ifdef Q_OS_WIN
    DWORD code = 0;
    if (!GetExitCodeProcess(m_process, &code))
        code = DWORD(-1);
    else if (code == STILL_ACTIVE)
        return;
    m_poll->stop();
    emit finished(int(code));
#endif
}
