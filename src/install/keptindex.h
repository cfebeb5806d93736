#ifndef KEPTINDEX_H
#define KEPTINDEX_H

#include "installrule.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The index of the installed program package, kept in the application directory so that
// damaged files can be found and restored. It changes only inside an installation's
// transaction: replaced by the index of a program package being installed, or losing the
// entries of files that another package replaces, so repair never restores old bytes.

extern const char keptIndexName[];

// The kept index once `plan` is installed, or empty when it stays as it is. `packageIndex`
// (empty when none) is the verified index of the program package the plan installs.
QByteArray keptIndexAfter(
    const QVector<InstallAction>& plan, const QString& appDir, const QByteArray& packageIndex);

// Adds to `plan` the step putting the changed kept index in place, written beside the
// extracted files in `downloadDir`. Empty, or why the index could not be written.
QString addKeptIndexStep(QVector<InstallAction>* plan, const QString& appDir,
    const QString& downloadDir, const QByteArray& packageIndex);

// The kept index as read from the application directory; empty when there is none.
QByteArray readKeptIndex(const QString& appDir);

#endif // KEPTINDEX_H
