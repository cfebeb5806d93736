#include "packageindex.h"

#include "packagecheck.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

const QByteArray formatLine("orbelan-index 1");
// A local header without its name and extra field, and the archive's end record.
constexpr qint64 localHeaderBytes = 30;
constexpr qint64 endRecordBytes = 22;
// The updater's download directory; an entry of that name would be taken for it.
const QString downloadDirName = QStringLiteral("update");

bool readNumber(const QByteArray& text, qint64* value)
{
    // Eighteen digits fit a qint64 with room for sums of two.
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    *value = text.toLongLong();
    return true;
}

bool readDigest(const QByteArray& text, QByteArray* digest)
{
    if (text.size() != 2 * indexDigestBytes)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    *digest = QByteArray::fromHex(text);
    return true;
}

bool isVersion(const QByteArray& text)
{
    const int dot = text.indexOf('.');
    qint64 unused = 0;
    return dot > 0 && text.size() - dot == 4 && readNumber(text.left(dot), &unused)
        && readNumber(text.mid(dot + 1), &unused);
}

QString readFileLine(const QByteArray& rest, IndexEntry* entry)
{
    const QList<QByteArray> fields = rest.split(' ');
    if (fields.size() < 5)
        return QStringLiteral("file line with too few fields");
    if (!readNumber(fields[0], &entry->size) || !readDigest(fields[1], &entry->digest)
        || !readNumber(fields[2], &entry->offset) || !readNumber(fields[3], &entry->length))
        return QStringLiteral("malformed file line");
    // The path is the rest of the line and may hold spaces.
    const int pathStart
        = fields[0].size() + fields[1].size() + fields[2].size() + fields[3].size() + 4;
    entry->path = QString::fromUtf8(rest.mid(pathStart));
    return QString();
}

// Reads one line after the format line into `index`; `seen` holds the keywords read so far.
QString readLine(const QByteArray& line, PackageIndex* index, QSet<QByteArray>* seen)
{
    const int space = line.indexOf(' ');
    const QByteArray keyword = line.left(space);
    const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1);
    if (keyword == "file") {
        if (index->entries.size() >= indexEntryLimit)
            return QStringLiteral("more than %1 entries").arg(indexEntryLimit);
        IndexEntry entry;
        const QString problem = readFileLine(rest, &entry);
        index->entries.append(entry);
        return problem;
    }
    if (keyword != "version" && keyword != "archive" && keyword != "directory")
        return QString(); // a line of a later revision
    if (seen->contains(keyword))
        return QStringLiteral("%1 line twice").arg(QString::fromLatin1(keyword));
    seen->insert(keyword);
    const QList<QByteArray> fields = rest.split(' ');
    bool good = false;
    if (keyword == "version") {
        good = isVersion(rest);
        index->version = QString::fromLatin1(rest);
    } else if (keyword == "archive") {
        good = fields.size() == 2 && readNumber(fields[0], &index->archiveLength)
            && readDigest(fields[1], &index->archiveDigest);
    } else {
        good = fields.size() == 1 && readNumber(fields[0], &index->directoryOffset);
    }
    return good ? QString() : QStringLiteral("malformed %1 line").arg(QString::fromLatin1(keyword));
}

QString readLines(const QByteArray& text, PackageIndex* index)
{
    if (!text.endsWith('\n'))
        return QStringLiteral("does not end with a line break");
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    if (lines.first() != formatLine)
        return QStringLiteral("not an index of this format (first line \"%1\")")
            .arg(QString::fromUtf8(lines.first().left(40)).toHtmlEscaped());
    QSet<QByteArray> seen;
    for (int i = 1; i < lines.size(); ++i) {
        const QString problem = readLine(lines[i], index, &seen);
        if (!problem.isEmpty())
            return QStringLiteral("line %1: %2").arg(i + 1).arg(problem);
    }
    if (seen.size() != 3)
        return QStringLiteral("version, archive or directory line missing");
    return QString();
}

QString pathRefusal(const QString& path)
{
    const QString unsafe = unsafeEntryName(path);
    if (!unsafe.isEmpty())
        return unsafe;
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("backslash in path");
    if (path.contains(QLatin1String("config.ini"), Qt::CaseInsensitive))
        return QStringLiteral("Config.ini is never installed");
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() > 2)
        return QStringLiteral("more than one directory level");
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String("."))
            return QStringLiteral("empty or \".\" name part");
        if (part.compare(downloadDirName, Qt::CaseInsensitive) == 0)
            return QStringLiteral("the updater's download directory");
    }
    return QString();
}

// Windows takes names that differ only in case for one file.
QString checkPaths(const PackageIndex& index)
{
    QSet<QString> paths;
    QSet<QString> directories;
    for (const IndexEntry& entry : index.entries) {
        const QString problem = pathRefusal(entry.path);
        if (!problem.isEmpty())
            return QStringLiteral("path %1: %2").arg(entry.path, problem);
        const QString folded = entry.path.toCaseFolded();
        if (paths.contains(folded))
            return QStringLiteral("path %1 listed twice").arg(entry.path);
        paths.insert(folded);
        if (!indexDirectory(folded).isEmpty())
            directories.insert(indexDirectory(folded));
    }
    // The installation takes a file named like a directory of the package for it.
    for (const IndexEntry& entry : index.entries) {
        const QString name = entry.path.section(QLatin1Char('/'), -1).toCaseFolded();
        if (directories.contains(name))
            return QStringLiteral("path %1: named like a directory of the package").arg(entry.path);
    }
    return QString();
}

QString checkRecords(const PackageIndex& index)
{
    if (index.directoryOffset > index.archiveLength - endRecordBytes)
        return QStringLiteral("directory offset %1 outside the archive of %2 bytes")
            .arg(index.directoryOffset)
            .arg(index.archiveLength);
    QVector<const IndexEntry*> byOffset;
    for (const IndexEntry& entry : index.entries) {
        const qint64 least = localHeaderBytes + entry.path.toUtf8().size();
        if (entry.offset > index.directoryOffset
            || entry.length > index.directoryOffset - entry.offset || entry.length < least)
            return QStringLiteral("path %1: record %2+%3 outside the archive's records")
                .arg(entry.path)
                .arg(entry.offset)
                .arg(entry.length);
        byOffset.append(&entry);
    }
    std::sort(byOffset.begin(), byOffset.end(),
        [](const IndexEntry* a, const IndexEntry* b) { return a->offset < b->offset; });
    for (int i = 1; i < byOffset.size(); ++i) {
        if (byOffset[i - 1]->offset + byOffset[i - 1]->length > byOffset[i]->offset)
            return QStringLiteral("path %1: record overlaps that of %2")
                .arg(byOffset[i]->path, byOffset[i - 1]->path);
    }
    return QString();
}

QString checkTotal(const PackageIndex& index)
{
    qint64 total = 0;
    for (const IndexEntry& entry : index.entries) {
        if (entry.size > maxUnpackedBytes - total)
            return QStringLiteral("unpacks to more than %1 bytes").arg(maxUnpackedBytes);
        total += entry.size;
    }
    return QString();
}

} // namespace

QString readPackageIndex(const QByteArray& text, PackageIndex* index)
{
    *index = PackageIndex();
    if (text.size() > indexFileLimit)
        return QStringLiteral("larger than %1 bytes").arg(indexFileLimit);
    QString problem = readLines(text, index);
    if (problem.isEmpty())
        problem = checkPaths(*index);
    if (problem.isEmpty())
        problem = checkRecords(*index);
    if (problem.isEmpty())
        problem = checkTotal(*index);
    if (problem.isEmpty() && index->entries.isEmpty())
        problem = QStringLiteral("lists no files");
    return problem;
}

QByteArray writePackageIndex(const PackageIndex& index)
{
    QByteArray text = formatLine + '\n';
    text += "version " + index.version.toLatin1() + '\n';
    text += "archive " + QByteArray::number(index.archiveLength) + ' ' + index.archiveDigest.toHex()
        + '\n';
    text += "directory " + QByteArray::number(index.directoryOffset) + '\n';
    for (const IndexEntry& entry : index.entries) {
        text += "file " + QByteArray::number(entry.size) + ' ' + entry.digest.toHex() + ' '
            + QByteArray::number(entry.offset) + ' ' + QByteArray::number(entry.length) + ' '
            + entry.path.toUtf8() + '\n';
    }
    return text;
}

QString indexDirectory(const QString& path)
{
    const int slash = path.indexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QByteArray contentDigest(const QByteArray& data)
{
    ContentHasher hasher;
    hasher.addData(data.constData(), data.size());
    return hasher.takeDigest();
}

QByteArray fileDigest(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    ContentHasher hasher;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    qint64 read = 0;
    while ((read = file.read(chunk.data(), chunk.size())) > 0)
        hasher.addData(chunk.constData(), read);
    return read < 0 ? QByteArray() : hasher.takeDigest();
}
