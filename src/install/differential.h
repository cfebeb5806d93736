#ifndef DIFFERENTIAL_H
#define DIFFERENTIAL_H

#include "packageindex.h"

#include <QString>
#include <QVector>

#include <functional>

// Which records of the program package an installation needs, and the byte ranges that
// fetch them.

// Neighbouring records closer than this are fetched in one range: a request costs more
// than the bytes between them.
constexpr qint64 rangeMergeGap = 64 * 1024;

// One single-range request: bytes [offset, offset + length) of the archive, holding the
// records of `entries` (positions in the index, in archive order).
struct FetchRange {
    qint64 offset = 0;
    qint64 length = 0;
    QVector<int> entries;
};

struct DifferentialPlan {
    QVector<int> entries; // the index's entries to fetch, in archive order
    QVector<FetchRange> ranges;
    qint64 recordBytes = 0; // of the entries' records
    qint64 fetchBytes = 0; // of the ranges, gaps included
    // Set when fetching the entries is not worth it: the whole package is taken instead.
    QString wholePackageReason;
};

// Where the installation keeps the entry's file.
QString installedPath(const QString& appDir, const IndexEntry& entry);

// Whether the installed file is other than the entry: missing, another size (looked at
// first, it costs no read) or other contents.
bool installedFileDiffers(const QString& appDir, const IndexEntry& entry);

// Whether the installed file is missing or has another size; reads no contents.
bool installedFileDamaged(const QString& appDir, const IndexEntry& entry);

// The positions of the entries for which `differs` holds, in archive order.
QVector<int> selectEntries(
    const PackageIndex& index, const std::function<bool(const IndexEntry&)>& differs);

// Ranges fetching the records of `entries`: records less than `maxGap` bytes apart share
// one range.
QVector<FetchRange> mergeRanges(
    const PackageIndex& index, QVector<int> entries, qint64 maxGap = rangeMergeGap);

// The plan for fetching `entries`. When the ranges add up to more than half of the
// archive, fetching them is no saving: the plan names that as its reason for the whole
// package.
DifferentialPlan planDifferential(
    const PackageIndex& index, const QVector<int>& entries, qint64 maxGap = rangeMergeGap);

#endif // DIFFERENTIAL_H
