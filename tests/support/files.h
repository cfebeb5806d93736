#ifndef FILES_H
#define FILES_H

#include <QByteArray>
#include <QString>

// Whole files: empty when unreadable; false when not written in full.
QByteArray readFileBytes(const QString& path);
bool writeFileBytes(const QString& path, const QByteArray& bytes);

#endif // FILES_H
