#include "indexrecord.h"

#include <zlib.h>

#include <QIODevice>

namespace {

constexpr int localHeaderBytes = 30;
constexpr int chunkBytes = 256 * 1024;
constexpr quint16 encryptedFlag = 0x0001;
constexpr quint16 storedMethod = 0;
constexpr quint16 deflatedMethod = 8;

quint16 littleEndian16(const QByteArray& bytes, int at)
{
    return quint16(quint8(bytes[at]) | quint8(bytes[at + 1]) << 8);
}

// Writes unpacked contents, refusing more than the entry's size, and hashes them.
class Sink {
public:
    Sink(QIODevice* target, qint64 limit)
        : m_target(target)
        , m_limit(limit)
    {
    }
    QString write(const char* data, qint64 size)
    {
        if (size > m_limit - m_written)
            return QStringLiteral("unpacks to more than its %1 bytes").arg(m_limit);
        if (m_target->write(data, size) != size)
            return QStringLiteral("cannot write: %1").arg(m_target->errorString());
        m_hasher.addData(data, size);
        m_written += size;
        return QString();
    }
    qint64 written() const { return m_written; }
    QByteArray digest() { return m_hasher.takeDigest(); }

private:
    QIODevice* m_target;
    qint64 m_limit;
    qint64 m_written = 0;
    ContentHasher m_hasher;
};

QString copyStored(QIODevice* source, qint64 dataBytes, qint64 size, Sink* sink)
{
    if (size > dataBytes)
        return QStringLiteral("record ends before its data");
    QByteArray chunk(chunkBytes, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 read = source->read(chunk.data(), qMin<qint64>(left, chunk.size()));
        if (read <= 0)
            return QStringLiteral("record ends before its data");
        const QString problem = sink->write(chunk.constData(), read);
        if (!problem.isEmpty())
            return problem;
        left -= read;
    }
    return QString();
}

// Feeds one chunk of raw deflate data through `stream`; sets `ended` at the stream's end.
QString inflateChunk(z_stream* stream, QByteArray* output, Sink* sink, bool* ended)
{
    do {
        stream->next_out = reinterpret_cast<Bytef*>(output->data());
        stream->avail_out = uInt(output->size());
        const int result = inflate(stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            return QStringLiteral("damaged compressed data");
        const QString problem
            = sink->write(output->constData(), output->size() - qint64(stream->avail_out));
        if (!problem.isEmpty())
            return problem;
        if (result == Z_STREAM_END) {
            *ended = true;
            return QString();
        }
        if (result == Z_BUF_ERROR && stream->avail_in == 0)
            return QString();
    } while (stream->avail_in > 0 || stream->avail_out == 0);
    return QString();
}

QString inflateRecord(QIODevice* source, qint64 dataBytes, Sink* sink)
{
    z_stream stream {};
    // Negative window bits: raw deflate, as zip stores it, without a zlib header.
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return QStringLiteral("cannot start inflating");
    QByteArray input(chunkBytes, Qt::Uninitialized);
    QByteArray output(chunkBytes, Qt::Uninitialized);
    QString problem;
    bool ended = false;
    for (qint64 left = dataBytes; problem.isEmpty() && !ended;) {
        const qint64 read
            = left > 0 ? source->read(input.data(), qMin<qint64>(left, chunkBytes)) : 0;
        if (read <= 0) {
            problem = QStringLiteral("record ends before its data");
            break;
        }
        left -= read;
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = uInt(read);
        problem = inflateChunk(&stream, &output, sink, &ended);
    }
    inflateEnd(&stream);
    return problem;
}

} // namespace

QString extractRecord(QIODevice* source, const IndexEntry& entry, QIODevice* target)
{
    const QByteArray header = source->read(localHeaderBytes);
    if (header.size() != localHeaderBytes || !header.startsWith("PK\x03\x04"))
        return QStringLiteral("no local header at the record's start");
    const quint16 flags = littleEndian16(header, 6);
    const quint16 method = littleEndian16(header, 8);
    const qint64 nameBytes = littleEndian16(header, 26);
    const qint64 extraBytes = littleEndian16(header, 28);
    const qint64 dataBytes = entry.length - localHeaderBytes - nameBytes - extraBytes;
    if (dataBytes < 0)
        return QStringLiteral("header longer than the record");
    if (source->read(nameBytes) != entry.path.toUtf8())
        return QStringLiteral("record of another entry");
    if (source->read(extraBytes).size() != extraBytes)
        return QStringLiteral("record ends before its data");
    if (flags & encryptedFlag)
        return QStringLiteral("encrypted entry");
    Sink sink(target, entry.size);
    QString problem;
    if (method == storedMethod)
        problem = copyStored(source, dataBytes, entry.size, &sink);
    else if (method == deflatedMethod)
        problem = inflateRecord(source, dataBytes, &sink);
    else
        problem = QStringLiteral("compression method %1").arg(method);
    if (problem.isEmpty() && (sink.written() != entry.size || sink.digest() != entry.digest))
        problem = QStringLiteral("contents do not match the index");
    return problem;
}
