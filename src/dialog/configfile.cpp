#include "configfile.h"
#include "debugtext.h"
#include "journalname.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QThread>

namespace ConfigKey {
const char contact[] = "ContactUs/Contact1";
const char programVersion[] = "Version/PROGRAM";
const char databaseVersion[] = "Version/DATABASE";
const char imagesVersion[] = "Version/IMAGES";
const char logoType[] = "Logo/Type";
const char appModel[] = "AppModel/model";
const char apiUrl[] = "Server/ApiUrl";
const char packageUrl[] = "Server/PackageUrl";
const char timeoutMs[] = "Server/TimeoutMs";
}

const char configFileName[] = "Config.ini";

std::unique_ptr<QSettings> openConfig(const QString& fileName)
{
    auto settings = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    settings->setIniCodec(QTextCodec::codecForName("GB2312"));
    return settings;
}

// Whether the settings class fails to parse the file. The status of a fresh settings object
// does not tell: it reports only what that object parsed itself, and it parses the sections
// lazily (a line without "=" shows up only when its section is parsed, which a write does
// after the status check, and then writes the file anyway), and a file already read in this
// process comes from the class's per-process cache without being parsed again (readSettings
// has always read it first). So the bytes are parsed in full from a private copy, whose name
// the cache has never seen. The copy stays inside the application directory, in the
// updater's own directory there, which the next start clears of anything left behind.
static bool isMalformed(const QString& fileName)
{
    QFile file(fileName);
    // Missing or unreadable: read as empty; a write then creates it or fails on its own.
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    file.close();
    if (bytes.isEmpty())
        return false;

    const QString privateDir
        = QFileInfo(fileName).absolutePath() + QLatin1Char('/') + journalDirectoryName();
    QDir().mkpath(privateDir);
    bool malformed = false;
    {
        QTemporaryFile copy(privateDir + QStringLiteral("/config-XXXXXX.ini"));
        const bool copied = copy.open() && copy.write(bytes) == bytes.size() && copy.flush();
        if (copied)
            copy.close();
        // Without a private copy the file itself is parsed: right at least for a first access.
        const auto probe = openConfig(copied ? copy.fileName() : fileName);
        probe->allKeys();
        malformed = probe->status() == QSettings::FormatError;
    }
    // Only when empty: during an installation the journal lives there.
    QDir().rmdir(privateDir);
    return malformed;
}

// QSettings takes "<file>.lock" for each write and waits for it without a limit. A lock
// whose details cannot be read (its writer was killed between creating and filling it)
// counts as stale only once it is 30 s old; such a lock is removed at once instead.
static void removeUnreadableLock(const QString& fileName)
{
    const QString lockName = fileName + QLatin1String(".lock");
    QLockFile lock(lockName);
    qint64 pid = 0;
    QString host;
    QString application;
    if (!QFileInfo::exists(lockName) || lock.getLockInfo(&pid, &host, &application))
        return;
    // A live writer fills its lock file right after creating it.
    QThread::msleep(100);
    if (QFileInfo::exists(lockName) && !lock.getLockInfo(&pid, &host, &application))
        lock.removeStaleLockFile();
}

std::unique_ptr<QSettings> openConfigForWrite(const QString& fileName)
{
    // The file is replaced through a new file beside it, so without a writable directory no
    // write can succeed; trying would also wait for ever on a stale lock left there.
    const QFileInfo file(fileName);
    if (!QFileInfo(file.absolutePath()).isWritable()) {
        qDebug().noquote() << tagged(QStringLiteral("[ERROR]:write failed:"))
                           << quoted(file.absoluteFilePath()) << "directory not writable";
        return nullptr;
    }
    auto settings = openConfig(fileName);
    if (settings->status() == QSettings::FormatError || isMalformed(fileName)) {
        qDebug().noquote() << tagged(QStringLiteral("[ERROR]:malformed, left unchanged:"))
                           << quoted(fileName);
        return nullptr;
    }
    removeUnreadableLock(fileName);
    return settings;
}

bool commitConfig(QSettings& settings)
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    qDebug().noquote() << tagged(QStringLiteral("[ERROR]:write failed:"))
                       << quoted(settings.fileName()) << "status:" << int(settings.status());
    return false;
}

bool writeConfigValue(const char* key, const QString& value)
{
    const auto settings = openConfigForWrite();
    if (!settings)
        return false;
    // Already recorded: a rewrite would only cost a lock file, two disk syncs and a rename.
    const QLatin1String name(key);
    if (settings->contains(name) && settings->value(name).toString() == value)
        return true;
    settings->setValue(name, value);
    return commitConfig(*settings);
}

static QString stringSetting(const char* key, const char* fallback)
{
    const QString value = openConfig()->value(QLatin1String(key)).toString().trimmed();
    return value.isEmpty() ? QString::fromUtf8(fallback) : value;
}

QString apiBaseUrl() { return stringSetting(ConfigKey::apiUrl, UPDATER_DEFAULT_API_URL); }

QString packageBaseUrl()
{
    return stringSetting(ConfigKey::packageUrl, UPDATER_DEFAULT_PACKAGE_URL);
}

int requestTimeoutMs()
{
    bool ok = false;
    const int value = openConfig()->value(QLatin1String(ConfigKey::timeoutMs)).toInt(&ok);
    return ok && value > 0 ? value : defaultTimeoutMs;
}

QUrl serverUrl(const QString& base, const QString& path, QString* rendered)
{
    QString text = base;
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const QString encoded = QUrl(text + path, QUrl::TolerantMode).toString(QUrl::FullyEncoded);
    if (rendered)
        *rendered = encoded;
    return QUrl(encoded, QUrl::TolerantMode);
}
