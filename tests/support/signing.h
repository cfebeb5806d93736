#ifndef SIGNING_H
#define SIGNING_H

#include <QString>

// A minisign key pair: the base64 line of the public key and the secret key file
// (unencrypted, for automation).
struct SigningKey {
    QString publicKeyLine;
    QString secretKeyPath;
};

// The committed test key pair that UpdateTarvil-testkey trusts.
SigningKey testSigningKey();
// A fresh key pair in `dir`, made by `minisign -G -W`.
bool generateSigningKey(const QString& dir, SigningKey* key);

// The trusted comment the publishing tool writes for a package.
QString packageComment(const QString& fileName, const QString& version);

struct SignOptions {
    QString trustedComment;
    bool legacy = false; // minisign -l: Ed25519 over the whole file, not its hash
    QString signaturePath; // empty: beside the file, with ".minisig" appended
};

// Signs `file` with the standard minisign tool. False, with minisign's output in `error`
// when given, when it failed.
bool minisignFile(const QString& file, const SigningKey& key, const SignOptions& options,
    QString* error = nullptr);

#endif // SIGNING_H
