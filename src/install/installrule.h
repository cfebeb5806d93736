#ifndef INSTALLRULE_H
#define INSTALLRULE_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// What the installation does with one extracted path, in archive order.
struct InstallAction {
    enum Kind {
        DropConfig, // a path containing "Config.ini": deleted, never installed
        MakeDirectory, // a directory entry: `target` is the directory to ensure
        InstallFile, // a file entry: `source` replaces `target`
    };
    Kind kind;
    QString source;
    QString target;
    // An entry of the package's archive, logged as installed; the updater's own files that
    // travel with an installation (the kept index) and the files a repair restores are not.
    bool logged = true;
};

// The entry's own name: the last part of its path, with "\" read as a separator too.
// Empty for a directory entry.
QString entryName(const QString& extractedPath);

// Maps the extracted paths onto the installation in `appDir`. The installation has one
// directory level: a directory entry names the directory that the following files whose
// path contains its name go to; "\" separates the parts of a path as "/" does. Both path
// tests look only at the part of the path below `appDir`/`downloadDir`, so the
// installation's own location cannot draw files elsewhere.
// `isDirectory` tells which paths are directories before the installation begins.
QVector<InstallAction> planInstallation(const QStringList& extracted, const QString& appDir,
    const QString& downloadDir, const std::function<bool(const QString&)>& isDirectory);

#endif // INSTALLRULE_H
