#include "updatetarvildialog.h"

#include <QDir>
#include <QFileInfo>

bool UpdateTarvilDialog::removeDirTree(const QString& path)
{
    QStringList directories;
    if (!QDir(path).exists())
        return true;
    directories.append(path);

    // Breadth-first: files go at once, directories are collected for removal below.
    const QDir::Filters filter = QDir::Dirs | QDir::Files | QDir::Readable | QDir::Writable
        | QDir::Hidden | QDir::NoDotAndDotDot;
    for (int i = 0; i < directories.size(); ++i) {
        QDir dir(directories.at(i));
        const QFileInfoList entries = dir.entryInfoList(filter, QDir::Name);
        for (const QFileInfo& entry : entries) {
            // A link is removed as itself; the walk never follows it out of the tree.
            if (entry.isDir() && !entry.isSymLink())
                directories.append(directories.at(i) + QLatin1Char('/') + entry.fileName());
            else if ((entry.isFile() || entry.isSymLink()) && !dir.remove(entry.fileName()))
                return false;
        }
    }
    // Deepest first; each directory by its full path, since "." cannot be removed.
    for (int i = directories.size() - 1; i >= 0; --i) {
        if (!QDir().rmdir(directories.at(i)))
            return false;
    }
    return true;
}
