#ifndef BLAKE2B_H
#define BLAKE2B_H

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// A BLAKE2b digest taken over data that arrives in pieces (libsodium's generic hash): the
// package digest a signature covers (64 bytes) and the entry digests an index lists (32).
class Blake2bStream {
public:
    explicit Blake2bStream(int digestBytes);
    ~Blake2bStream();
    Blake2bStream(const Blake2bStream&) = delete;
    Blake2bStream& operator=(const Blake2bStream&) = delete;

    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // The digest of everything added since the last call; starts over for the next data.
    QByteArray takeDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
    int m_digestBytes;
};

// libsodium initialised, once per process; false when it cannot be.
bool sodiumReady();

#endif // BLAKE2B_H
