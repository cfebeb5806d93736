#include "appdirectory.h"

#include <QDir>

namespace {

QString& stored()
{
    static QString path;
    return path;
}

} // namespace

QString applicationDirectory() { return stored().isEmpty() ? QDir::currentPath() : stored(); }

void setApplicationDirectory(const QString& path) { stored() = QDir::cleanPath(path); }
