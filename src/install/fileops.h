#ifndef FILEOPS_H
#define FILEOPS_H

#include <QString>

// One rename or removal on the file system, and why it failed. On Windows the reason comes
// from the native error code (the C++ library folds most codes into one, so a sharing
// violation and a path too long looked alike), and every path is passed in its extended-length
// form, so paths past 260 characters work.
struct FileOpResult {
    bool ok = true;
    bool held = false; // another process holds the file: waiting may end it
    bool crossDevice = false; // a rename across file systems: it needs a copy first
    bool missing = false; // the file, or a directory on its way, is not there
    QString message; // the system's reason, with its code

    explicit operator bool() const { return ok; }
};

// Renames `from` to `to`, replacing a file there.
FileOpResult renameFile(const QString& from, const QString& to);
// Removes a file, a link or an empty directory; a path that is not there is no failure.
FileOpResult removeFile(const QString& path);

// An absolute path as Windows' own calls take it at any length: backslashes, cleaned, and the
// "\\?\" prefix ("\\?\UNC\" for a share). A relative path is left as it is.
QString extendedLengthPath(const QString& path);

#endif // FILEOPS_H
