#include "signing.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

static QString minisign() { return QStringLiteral("minisign"); }

static QString publicKeyLine(const QString& publicKeyPath)
{
    QFile file(publicKeyPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("RW"))
            return QString::fromLatin1(line.trimmed());
    }
    return QString();
}

static bool runMinisign(const QStringList& arguments, QString* error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(minisign(), arguments);
    const bool ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok && error)
        *error
            = process.errorString() + QLatin1Char(' ') + QString::fromLocal8Bit(process.readAll());
    return ok;
}

SigningKey testSigningKey()
{
    const QString dir = QStringLiteral(SIGNING_FIXTURES);
    return { publicKeyLine(dir + QStringLiteral("/test.pub")), dir + QStringLiteral("/test.key") };
}

bool generateSigningKey(const QString& dir, SigningKey* key)
{
    const QString publicPath = dir + QStringLiteral("/signing.pub");
    const QString secretPath = dir + QStringLiteral("/signing.key");
    if (!runMinisign({ QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-f"),
                         QStringLiteral("-p"), publicPath, QStringLiteral("-s"), secretPath },
            nullptr))
        return false;
    *key = { publicKeyLine(publicPath), secretPath };
    return !key->publicKeyLine.isEmpty();
}

QString packageComment(const QString& fileName, const QString& version)
{
    return QStringLiteral("file:%1 version:%2 timestamp:1700000000").arg(fileName, version);
}

bool minisignFile(
    const QString& file, const SigningKey& key, const SignOptions& options, QString* error)
{
    QStringList arguments { QStringLiteral("-S"), QStringLiteral("-W"), QStringLiteral("-s"),
        key.secretKeyPath, QStringLiteral("-m"), file, QStringLiteral("-t"),
        options.trustedComment };
    if (options.legacy)
        arguments.append(QStringLiteral("-l"));
    if (!options.signaturePath.isEmpty())
        arguments << QStringLiteral("-x") << options.signaturePath;
    return runMinisign(arguments, error);
}
