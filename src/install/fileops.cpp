#include "fileops.h"

#include <QDir>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QFile>

#include <filesystem>
#include <system_error>
#endif

QString extendedLengthPath(const QString& path)
{
    const QString prefix = QStringLiteral("\\\\?\\");
    if (path.startsWith(prefix))
        return path;
    QString forward = path;
    forward.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const auto backslashed
        = [](QString text) { return text.replace(QLatin1Char('/'), QLatin1Char('\\')); };
    if (forward.startsWith(QLatin1String("//")))
        return prefix + QStringLiteral("UNC\\") + backslashed(QDir::cleanPath(forward.mid(2)));
    const bool drive = forward.size() >= 3 && forward.at(1) == QLatin1Char(':')
        && forward.at(2) == QLatin1Char('/');
    return drive ? prefix + backslashed(QDir::cleanPath(forward)) : backslashed(forward);
}

#ifdef Q_OS_WIN

namespace {

std::wstring wide(const QString& path) { return extendedLengthPath(path).toStdWString(); }

QString systemMessage(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const QString text
        = length ? QString::fromWCharArray(buffer, int(length)).trimmed() : QString();
    LocalFree(buffer);
    return QStringLiteral("%1 (Windows error %2)").arg(text).arg(code);
}

FileOpResult lastError()
{
    const DWORD code = GetLastError();
    FileOpResult result;
    result.ok = false;
    // A running program's files deny access; an open handle without delete sharing violates
    // sharing; a scanner locks ranges. Everything else waiting cannot change.
    result.held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
        || code == ERROR_ACCESS_DENIED || code == ERROR_USER_MAPPED_FILE;
    result.crossDevice = code == ERROR_NOT_SAME_DEVICE;
    result.missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    result.message = systemMessage(code);
    return result;
}

} // namespace

FileOpResult renameFile(const QString& from, const QString& to)
{
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return FileOpResult();
    return lastError();
}

FileOpResult removeFile(const QString& path)
{
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const FileOpResult result = lastError();
        return result.missing ? FileOpResult() : result;
    }
    // A directory link is removed as a directory, without touching what it points to.
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str())
                                                                 : DeleteFileW(name.c_str());
    return removed ? FileOpResult() : lastError();
}

#else

namespace {

std::filesystem::path native(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

FileOpResult fromCode(const std::error_code& code)
{
    FileOpResult result;
    if (!code)
        return result;
    result.ok = false;
    result.held = code == std::errc::device_or_resource_busy || code == std::errc::text_file_busy
        || code == std::errc::operation_not_permitted
        || code == std::errc::resource_unavailable_try_again || code == std::errc::interrupted;
    result.crossDevice = code == std::errc::cross_device_link;
    result.missing = code == std::errc::no_such_file_or_directory;
    result.message = QString::fromLocal8Bit(code.message().c_str());
    return result;
}

} // namespace

FileOpResult renameFile(const QString& from, const QString& to)
{
    std::error_code code;
    std::filesystem::rename(native(from), native(to), code);
    return fromCode(code);
}

FileOpResult removeFile(const QString& path)
{
    std::error_code code;
    std::filesystem::remove(native(path), code);
    return fromCode(code);
}

#endif
