#include "removedirtree.h"
#include "readonlymark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Removes the files of one listed directory and appends its sub-directories to the work
// list. False at the first file that could not be removed.
static bool removeFilesOf(QStringList& directories, int index)
{
    // System entries are listed too, so that dangling links are seen; the usual filter
    // (readable and writable entries only) is applied below to everything but links, whose
    // permissions are those of their targets.
    const QDir::Filters listing
        = QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot;
    QDir dir(directories.at(index));
    for (const QFileInfo& entry : dir.entryInfoList(listing, QDir::Name)) {
        // A link is removed as itself; the walk never follows it out of the tree.
        if (entry.isSymLink()) {
            if (!dir.remove(entry.fileName()))
                return false;
        } else if (!entry.isReadable()
            || !(entry.isWritable() || clearReadOnlyMark(entry.absoluteFilePath()))) {
            continue;
        } else if (entry.isDir()) {
            directories.append(directories.at(index) + QLatin1Char('/') + entry.fileName());
        } else if (entry.isFile() && !dir.remove(entry.fileName())) {
            return false;
        }
        // Anything else (a FIFO, a socket, a device) is skipped.
    }
    return true;
}

bool removeTree(const QString& path)
{
    // A link in place of the tree is removed as itself: walking it would delete the files
    // of whatever directory it points to. (A trailing slash would make the file system look
    // through the link, so it is not part of the name looked at.)
    QString name = path;
    while (name.size() > 1 && name.endsWith(QLatin1Char('/')))
        name.chop(1);
    if (QFileInfo(name).isSymLink())
        return QFile::remove(name);
    if (!QDir(path).exists())
        return true;

    // Breadth-first: files go at once, directories are collected for removal below.
    QStringList directories { path };
    for (int i = 0; i < directories.size(); ++i) {
        if (!removeFilesOf(directories, i))
            return false;
    }
    // Deepest first; each directory by its full path, since "." cannot be removed.
    for (int i = directories.size() - 1; i >= 0; --i) {
        if (!QDir().rmdir(directories.at(i)))
            return false;
    }
    return true;
}
