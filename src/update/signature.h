#ifndef SIGNATURE_H
#define SIGNATURE_H

#include "blake2b.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// Detached package signatures in the minisign format: Ed25519 over the BLAKE2b-512 digest
// of the package (the prehashed "ED" algorithm), plus a signature over the trusted comment
// that binds the package to its file name and version.

// The most bytes a signature file may take; a real one is well under 400.
constexpr int signatureFileLimit = 4096;

// The digest the signature covers: BLAKE2b-512.
constexpr int packageDigestBytes = 64;

// The digest of a file fed to it piece by piece, as the file is written.
class PackageHasher : public Blake2bStream {
public:
    PackageHasher()
        : Blake2bStream(packageDigestBytes)
    {
    }
};

// BLAKE2b-512 of `data` in one go.
QByteArray packageDigest(const QByteArray& data);

// Whether `keyLine` is the base64 line of a minisign public key.
bool isPublicKeyLine(const QString& keyLine);

// What the signature must bind the package to.
struct SignedPackage {
    QString fileName; // "orbelan.zip", "v1.002.zip"
    QString version; // "1.002"
};

// Empty when `signatureFile` is a valid signature, by one of `trustedKeyLines`, of the file
// with BLAKE2b-512 digest `digest`, whose trusted comment names `expected`; otherwise the
// reason for refusing it.
QString signatureRefusal(const QByteArray& signatureFile, const QByteArray& digest,
    const QStringList& trustedKeyLines, const SignedPackage& expected);

#endif // SIGNATURE_H
