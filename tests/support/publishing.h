#ifndef PUBLISHING_H
#define PUBLISHING_H

#include "packageindex.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// Lays `files` out in `sourceDir` (replacing what was there) and publishes them with
// tools/publish.py as program `version` into the server tree `serverDir`, signed with
// `secretKey` when given. Empty on success, otherwise what went wrong.
QString publishProgramRelease(const QString& sourceDir, const QString& serverDir,
    const QString& version, const QMap<QString, QByteArray>& files,
    const QString& secretKey = QString());

// The program package's index as published in `serverDir`; empty, or why it does not read.
QString readPublishedIndex(const QString& serverDir, PackageIndex* index);

#endif // PUBLISHING_H
