// Package signature checking: minisign signatures, made by the real minisign tool, checked
// against the package digest, the trusted keys and the file and version being installed.

#include "signature.h"
#include "signing.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString fileName = QStringLiteral("v1.002.zip");
const QString version = QStringLiteral("1.002");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The signature file's lines, to take apart and put together again.
QList<QByteArray> lines(const QByteArray& signatureFile)
{
    QList<QByteArray> result = signatureFile.split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

QByteArray joined(const QList<QByteArray>& parts, const QByteArray& separator = "\n")
{
    QByteArray result;
    for (const QByteArray& part : parts)
        result += part + separator;
    return result;
}

// The signature line with its two algorithm bytes replaced.
QByteArray withAlgorithm(const QByteArray& signatureFile, const QByteArray& algorithm)
{
    QList<QByteArray> parts = lines(signatureFile);
    QByteArray block = QByteArray::fromBase64(parts.value(1));
    block.replace(0, 2, algorithm);
    parts[1] = block.toBase64();
    return joined(parts);
}

} // namespace

class TestSignature : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void signatureDecidesInstallation_data();
    void signatureDecidesInstallation();
    void hashInPiecesMatchesBlake2bOfWholeFile();
    void publicKeyLineIsRecognised_data();
    void publicKeyLineIsRecognised();

private:
    QByteArray sign(const QString& comment, const SigningKey& key, bool legacy = false);

    QTemporaryDir m_dir;
    QString m_package;
    QByteArray m_digest;
    SigningKey m_trusted;
    SigningKey m_foreign;
};

void TestSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_package = m_dir.filePath(fileName);
    QFile package(m_package);
    QVERIFY(package.open(QIODevice::WriteOnly));
    package.write(QByteArray("PK\x03\x04 a database package ") + QByteArray(5000, 'x'));
    package.close();
    m_digest = packageDigest(readAll(m_package));
    m_trusted = testSigningKey();
    QVERIFY(!m_trusted.publicKeyLine.isEmpty());
    QVERIFY(generateSigningKey(m_dir.path(), &m_foreign));
}

QByteArray TestSignature::sign(const QString& comment, const SigningKey& key, bool legacy)
{
    const QString path = m_dir.filePath(QStringLiteral("signature"));
    QString error;
    if (!minisignFile(m_package, key, { comment, legacy, path }, &error))
        qWarning() << "minisign failed:" << error;
    return readAll(path);
}

void TestSignature::signatureDecidesInstallation_data()
{
    QTest::addColumn<QByteArray>("signatureFile");
    QTest::addColumn<QByteArray>("digest");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("refusal");

    const QStringList trusted { m_trusted.publicKeyLine };
    const QByteArray good = sign(packageComment(fileName, version), m_trusted);
    const QByteArray otherDigest = packageDigest("some other bytes");

    QTest::newRow("genuine") << good << m_digest << trusted << QString();
    QTest::newRow("genuine, CR LF line ends")
        << joined(lines(good), "\r\n") << m_digest << trusted << QString();
    QTest::newRow("genuine, no final line break")
        << good.trimmed() << m_digest << trusted << QString();
    QTest::newRow("rolled keys: old and new trusted")
        << good << m_digest << QStringList { m_foreign.publicKeyLine, m_trusted.publicKeyLine }
        << QString();
    QTest::newRow("malformed key line beside the trusted one")
        << good << m_digest << QStringList { QStringLiteral("RWnotakey"), m_trusted.publicKeyLine }
        << QString();
    QTest::newRow("only fields file and version")
        << sign(QStringLiteral("version:1.002 file:v1.002.zip"), m_trusted) << m_digest << trusted
        << QString();

    QTest::newRow("tampered package")
        << good << otherDigest << trusted << QStringLiteral("signature mismatch");
    QTest::newRow("digest cut short")
        << good << m_digest.left(32) << trusted << QStringLiteral("signature mismatch");
    QTest::newRow("signed by another key") << sign(packageComment(fileName, version),
        m_foreign) << m_digest << trusted << QStringLiteral("unknown key *");
    QTest::newRow("no trusted key")
        << good << m_digest << QStringList() << QStringLiteral("unknown key *");
    QTest::newRow("legacy signature") << sign(packageComment(fileName, version), m_trusted, true)
                                      << m_digest << trusted << QStringLiteral("legacy signature");
    QTest::newRow("unknown algorithm") << withAlgorithm(good, "XY") << m_digest << trusted
                                       << QStringLiteral("unknown signature algorithm");
    QTest::newRow("prehashed claim on a legacy signature")
        << withAlgorithm(sign(packageComment(fileName, version), m_trusted, true), "ED") << m_digest
        << trusted << QStringLiteral("signature mismatch");

    QList<QByteArray> forged = lines(good);
    forged[2] = "trusted comment: " + packageComment(fileName, QStringLiteral("9.999")).toUtf8();
    QTest::newRow("trusted comment rewritten")
        << joined(forged) << m_digest << trusted << QStringLiteral("trusted comment mismatch");

    QTest::newRow("another database's signature")
        << sign(packageComment(QStringLiteral("v1.001.zip"), QStringLiteral("1.001")), m_trusted)
        << m_digest << trusted << QStringLiteral("wrong file: v1.001.zip");
    QTest::newRow("older version replayed")
        << sign(packageComment(fileName, QStringLiteral("1.001")), m_trusted) << m_digest << trusted
        << QStringLiteral("wrong version: 1.001");
    QTest::newRow("version with a fourth decimal")
        << sign(packageComment(fileName, QStringLiteral("1.0020")), m_trusted) << m_digest
        << trusted << QStringLiteral("wrong version: 1.0020");
    QTest::newRow("no version field") << sign(QStringLiteral("file:v1.002.zip"), m_trusted)
                                      << m_digest << trusted << QStringLiteral("wrong version: ");
    QTest::newRow("file field twice")
        << sign(QStringLiteral("file:v1.002.zip file:v1.003.zip version:1.002"), m_trusted)
        << m_digest << trusted << QStringLiteral("wrong file: ");
    QTest::newRow("file name as a prefix")
        << sign(QStringLiteral("file:v1.002.zip.old version:1.002"), m_trusted) << m_digest
        << trusted << QStringLiteral("wrong file: v1.002.zip.old");

    QTest::newRow("empty") << QByteArray() << m_digest << trusted
                           << QStringLiteral("malformed signature file");
    QTest::newRow("garbage") << QByteArray("<html>not found</html>\n") << m_digest << trusted
                             << QStringLiteral("malformed signature file");
    QTest::newRow("global signature missing")
        << joined(lines(good).mid(0, 3)) << m_digest << trusted
        << QStringLiteral("malformed signature file");
    QTest::newRow("extra line") << good + "untrusted comment: more\n"
                                << m_digest << trusted
                                << QStringLiteral("malformed signature file");
    QList<QByteArray> badBase64 = lines(good);
    badBase64[1].replace(4, 1, "*");
    QTest::newRow("signature line not base64")
        << joined(badBase64) << m_digest << trusted << QStringLiteral("malformed signature file");
    QList<QByteArray> shortSignature = lines(good);
    shortSignature[1] = QByteArray::fromBase64(shortSignature[1]).left(40).toBase64();
    QTest::newRow("signature cut short") << joined(shortSignature) << m_digest << trusted
                                         << QStringLiteral("malformed signature file");
}

void TestSignature::signatureDecidesInstallation()
{
    QFETCH(QByteArray, signatureFile);
    QFETCH(QByteArray, digest);
    QFETCH(QStringList, keys);
    QFETCH(QString, refusal);

    const QString actual = signatureRefusal(signatureFile, digest, keys, { fileName, version });
    if (refusal.endsWith(QLatin1Char('*')))
        QVERIFY2(actual.startsWith(refusal.chopped(1)), qPrintable(actual));
    else
        QCOMPARE(actual, refusal);
}

void TestSignature::hashInPiecesMatchesBlake2bOfWholeFile()
{
    const QByteArray data = QByteArray(3 * 1024 * 1024 + 17, 'a') + "tail";
    PackageHasher hasher;
    for (int offset = 0; offset < data.size(); offset += 65536)
        hasher.addData(data.mid(offset, 65536));
    const QByteArray pieces = hasher.takeDigest();
    QCOMPARE(pieces.size(), 64);
    QCOMPARE(pieces, packageDigest(data));
    // The next file starts from nothing.
    hasher.addData("x");
    QCOMPARE(hasher.takeDigest(), packageDigest("x"));

    // coreutils' b2sum is BLAKE2b-512 as well.
    QProcess b2sum;
    b2sum.start(QStringLiteral("b2sum"), QStringList());
    QVERIFY(b2sum.waitForStarted());
    b2sum.write(data);
    b2sum.closeWriteChannel();
    QVERIFY(b2sum.waitForFinished());
    QCOMPARE(b2sum.readAll().left(128), pieces.toHex());
}

void TestSignature::publicKeyLineIsRecognised_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("accepted");
    const QString key = testSigningKey().publicKeyLine;
    QTest::newRow("minisign public key") << key << true;
    QTest::newRow("with surrounding blanks") << QStringLiteral(" %1\n").arg(key) << true;
    QTest::newRow("cut short") << key.left(40) << false;
    QTest::newRow("not base64") << QString(key).replace(5, 1, QLatin1Char('*')) << false;
    QTest::newRow("secret key file line")
        << QString::fromLatin1(readAll(testSigningKey().secretKeyPath).split('\n').value(1))
        << false;
    QTest::newRow("empty") << QString() << false;
}

void TestSignature::publicKeyLineIsRecognised()
{
    QFETCH(QString, line);
    QFETCH(bool, accepted);
    QCOMPARE(isPublicKeyLine(line), accepted);
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
