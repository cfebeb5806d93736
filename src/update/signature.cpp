#include "signature.h"

#include <sodium.h>

#include <algorithm>

#include <QList>
#include <QRegularExpression>

namespace {

const QByteArray prehashedAlgorithm("ED");
const QByteArray legacyAlgorithm("Ed");
constexpr int keyIdBytes = 8;
constexpr int digestBytes = packageDigestBytes;

struct PublicKey {
    QByteArray id;
    QByteArray key;
};

struct SignatureFile {
    QByteArray algorithm;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

QByteArray decodeBase64(const QByteArray& text)
{
    const auto result
        = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return result ? *result : QByteArray();
}

bool parsePublicKey(const QString& keyLine, PublicKey* key)
{
    const QByteArray raw = decodeBase64(keyLine.toLatin1());
    if (raw.size() != 2 + keyIdBytes + crypto_sign_PUBLICKEYBYTES
        || !raw.startsWith(legacyAlgorithm))
        return false;
    key->id = raw.mid(2, keyIdBytes);
    key->key = raw.mid(2 + keyIdBytes);
    return true;
}

// The four lines of a signature file; a trailing line break and CR LF endings are accepted.
bool splitLines(const QByteArray& file, QList<QByteArray>* lines)
{
    QList<QByteArray> parts = file.split('\n');
    while (!parts.isEmpty() && parts.last().trimmed().isEmpty())
        parts.removeLast();
    if (parts.size() != 4)
        return false;
    for (QByteArray& part : parts) {
        if (part.endsWith('\r'))
            part.chop(1);
    }
    *lines = parts;
    return true;
}

bool parseSignatureFile(const QByteArray& file, SignatureFile* parsed)
{
    static const QByteArray untrustedPrefix("untrusted comment:");
    static const QByteArray trustedPrefix("trusted comment: ");
    QList<QByteArray> lines;
    if (!splitLines(file, &lines) || !lines.at(0).startsWith(untrustedPrefix)
        || !lines.at(2).startsWith(trustedPrefix))
        return false;
    const QByteArray signatureBlock = decodeBase64(lines.at(1));
    parsed->globalSignature = decodeBase64(lines.at(3));
    if (signatureBlock.size() != 2 + keyIdBytes + crypto_sign_BYTES
        || parsed->globalSignature.size() != crypto_sign_BYTES)
        return false;
    parsed->algorithm = signatureBlock.left(2);
    parsed->keyId = signatureBlock.mid(2, keyIdBytes);
    parsed->signature = signatureBlock.mid(2 + keyIdBytes);
    parsed->trustedComment = lines.at(2).mid(trustedPrefix.size());
    return true;
}

bool findKey(const QStringList& keyLines, const QByteArray& id, PublicKey* found)
{
    for (const QString& line : keyLines) {
        if (parsePublicKey(line, found) && found->id == id)
            return true;
    }
    return false;
}

// The key id as minisign prints it: a little-endian number in upper-case hex.
QString keyIdText(const QByteArray& id)
{
    QByteArray reversed(id.size(), Qt::Uninitialized);
    std::reverse_copy(id.cbegin(), id.cend(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

bool verifyDetached(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char*>(key.constData()))
        == 0;
}

// The value of the one `name:` field of the comment; empty when it is missing or repeated.
QString commentField(const QString& comment, const QString& name)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QString prefix = name + QLatin1Char(':');
    QStringList values;
    for (const QString& field : comment.split(whitespace, Qt::SkipEmptyParts)) {
        if (field.startsWith(prefix))
            values.append(field.mid(prefix.size()));
    }
    return values.size() == 1 ? values.first() : QString();
}

QString bindingRefusal(const QByteArray& trustedComment, const SignedPackage& expected)
{
    const QString comment = QString::fromUtf8(trustedComment);
    const QString file = commentField(comment, QStringLiteral("file"));
    if (file != expected.fileName)
        return QStringLiteral("wrong file: %1").arg(file);
    const QString version = commentField(comment, QStringLiteral("version"));
    if (version != expected.version)
        return QStringLiteral("wrong version: %1").arg(version);
    return QString();
}

} // namespace

QByteArray packageDigest(const QByteArray& data)
{
    PackageHasher hasher;
    hasher.addData(data);
    return hasher.takeDigest();
}

bool isPublicKeyLine(const QString& keyLine)
{
    PublicKey key;
    return parsePublicKey(keyLine, &key);
}

QString signatureRefusal(const QByteArray& signatureFile, const QByteArray& digest,
    const QStringList& trustedKeyLines, const SignedPackage& expected)
{
    if (!sodiumReady())
        return QStringLiteral("libsodium cannot start");
    SignatureFile parsed;
    if (!parseSignatureFile(signatureFile, &parsed))
        return QStringLiteral("malformed signature file");
    if (parsed.algorithm == legacyAlgorithm)
        return QStringLiteral("legacy signature");
    if (parsed.algorithm != prehashedAlgorithm)
        return QStringLiteral("unknown signature algorithm");
    PublicKey key;
    if (!findKey(trustedKeyLines, parsed.keyId, &key))
        return QStringLiteral("unknown key %1").arg(keyIdText(parsed.keyId));
    if (digest.size() != digestBytes || !verifyDetached(parsed.signature, digest, key.key))
        return QStringLiteral("signature mismatch");
    if (!verifyDetached(parsed.globalSignature, parsed.signature + parsed.trustedComment, key.key))
        return QStringLiteral("trusted comment mismatch");
    return bindingRefusal(parsed.trustedComment, expected);
}
