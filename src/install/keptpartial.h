#ifndef KEPTPARTIAL_H
#define KEPTPARTIAL_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class PackageHasher;

// A package download that a run could not finish (or a verified package it could not
// install), kept in the application directory (outside
// the download folder, which every hand-over removes) so that the next run asks only for the
// rest. At most one is kept: its bytes and a small record of what they are.

extern const char keptPartialName[];
extern const char keptPartialRecordName[];

struct KeptPartial {
    int packageType = -1; // 0: the program package, 1: a database package
    QString version;
    QString url; // where its bytes came from
    QByteArray validator; // what If-Range must carry: the bytes' ETag or Last-Modified
    qint64 total = -1; // the package's length as its server announced it
    qint64 size = 0; // bytes kept
    // Every byte is there: a package that was verified but could not be installed, kept so
    // that the next run installs it without downloading it again.
    bool whole = false;

    bool isValid() const;
    // Whether these bytes are the beginning of `version` of a package of `type`.
    bool isFor(int type, const QString& packageVersion) const;
};

// Moves the download `file` (closed) out of the download folder and records it; a partial kept
// before is replaced. Empty, or why it could not be kept (then nothing is kept).
QString keepPartial(const QString& appDir, const QString& file, const KeptPartial& partial);

// The partial kept in `appDir`. Not valid when there is none, or when its record is
// unreadable or does not describe the bytes on disk: such leftovers are deleted, and
// `dropped` (when given) says why.
KeptPartial readKeptPartial(const QString& appDir, QString* dropped = nullptr);

// Moves the kept bytes to `file` (the download's place) and forgets the record; false when
// they could not be moved (then they are deleted).
bool takeKeptPartial(const QString& appDir, const QString& file);

// Deletes whatever partial is kept.
void dropKeptPartial(const QString& appDir);

// Feeds the first `size` bytes of `file` to `hasher`; false when they cannot all be read.
// Reads in slices, so it can run on a worker thread for a large file.
bool hashFileInto(const QString& file, qint64 size, PackageHasher* hasher);

#endif // KEPTPARTIAL_H
