#ifndef CURRENTDIR_H
#define CURRENTDIR_H

#include <QString>
#include <QTemporaryDir>

// A new temporary directory, made the current directory for as long as the object lives:
// code under test in this process finds Config.ini, update/ and its log by relative paths.
class TemporaryCurrentDir {
public:
    TemporaryCurrentDir();
    ~TemporaryCurrentDir();
    TemporaryCurrentDir(const TemporaryCurrentDir&) = delete;
    TemporaryCurrentDir& operator=(const TemporaryCurrentDir&) = delete;

    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& relative) const { return m_dir.filePath(relative); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
    bool m_valid = false;
};

#endif // CURRENTDIR_H
