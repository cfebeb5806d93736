#include "blake2b.h"

#include <sodium.h>

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

struct Blake2bStream::State {
    crypto_generichash_state blake2b;
};

Blake2bStream::Blake2bStream(int digestBytes)
    : m_state(new State)
    , m_digestBytes(digestBytes)
{
    sodiumReady();
    crypto_generichash_init(&m_state->blake2b, nullptr, 0, size_t(m_digestBytes));
}

Blake2bStream::~Blake2bStream() = default;

void Blake2bStream::addData(const char* data, qint64 size)
{
    crypto_generichash_update(&m_state->blake2b, reinterpret_cast<const unsigned char*>(data),
        static_cast<unsigned long long>(size));
}

QByteArray Blake2bStream::takeDigest()
{
    QByteArray digest(m_digestBytes, Qt::Uninitialized);
    crypto_generichash_final(
        &m_state->blake2b, reinterpret_cast<unsigned char*>(digest.data()), size_t(m_digestBytes));
    crypto_generichash_init(&m_state->blake2b, nullptr, 0, size_t(m_digestBytes));
    return digest;
}
