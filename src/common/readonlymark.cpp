#include "readonlymark.h"

#ifdef Q_OS_WIN
#include <QDir>

#include <windows.h>
#endif

bool clearReadOnlyMark(const QString& path)
{
#ifdef Q_OS_WIN
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)
        || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
#else
    Q_UNUSED(path)
    return false;
#endif
}
