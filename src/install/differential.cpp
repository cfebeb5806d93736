#include "differential.h"

#include <QFileInfo>

#include <algorithm>

QString installedPath(const QString& appDir, const IndexEntry& entry)
{
    return appDir + QLatin1Char('/') + entry.path;
}

bool installedFileDamaged(const QString& appDir, const IndexEntry& entry)
{
    const QFileInfo info(installedPath(appDir, entry));
    return !info.isFile() || info.size() != entry.size;
}

bool installedFileDiffers(const QString& appDir, const IndexEntry& entry)
{
    return installedFileDamaged(appDir, entry)
        || fileDigest(installedPath(appDir, entry)) != entry.digest;
}

QVector<int> selectEntries(
    const PackageIndex& index, const std::function<bool(const IndexEntry&)>& differs)
{
    QVector<int> selected;
    for (int i = 0; i < index.entries.size(); ++i) {
        if (differs(index.entries[i]))
            selected.append(i);
    }
    return selected;
}

QVector<FetchRange> mergeRanges(const PackageIndex& index, QVector<int> entries, qint64 maxGap)
{
    std::sort(entries.begin(), entries.end(),
        [&index](int a, int b) { return index.entries[a].offset < index.entries[b].offset; });
    QVector<FetchRange> ranges;
    for (const int i : entries) {
        const IndexEntry& entry = index.entries[i];
        if (!ranges.isEmpty()) {
            FetchRange& last = ranges.last();
            const qint64 end = last.offset + last.length;
            if (entry.offset - end <= maxGap) {
                last.length = entry.offset + entry.length - last.offset;
                last.entries.append(i);
                continue;
            }
        }
        ranges.append({ entry.offset, entry.length, { i } });
    }
    return ranges;
}

DifferentialPlan planDifferential(
    const PackageIndex& index, const QVector<int>& entries, qint64 maxGap)
{
    DifferentialPlan plan;
    plan.ranges = mergeRanges(index, entries, maxGap);
    for (const FetchRange& range : plan.ranges) {
        plan.entries += range.entries;
        plan.fetchBytes += range.length;
    }
    for (const int i : plan.entries)
        plan.recordBytes += index.entries[i].length;
    if (plan.fetchBytes > index.archiveLength / 2)
        plan.wholePackageReason = QStringLiteral("differing files take %1 of %2 bytes")
                                      .arg(plan.fetchBytes)
                                      .arg(index.archiveLength);
    return plan;
}
