#include "configfile.h"
#include "appdirectory.h"
#include "debugtext.h"
#include "journalname.h"
#include "readonlymark.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QThread>

#include <algorithm>

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

QString configPath()
{
    return applicationDirectory() + QLatin1Char('/') + QLatin1String(configFileName);
}

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

// The settings class writes "<file>.XXXXXX" beside the file, six random letters, and renames
// it over the file; a writer killed in between leaves it there for good. A name alone cannot
// tell such a leftover from a person's "Config.ini.BACKUP", so only a write of the updater's
// own that it knows was interrupted is cleaned up: before each write, the names of that form
// already present are noted in the updater's directory, and the note goes once the write is
// through. A start that finds the note removes only the names of that form that appeared
// since.
static QString writeNotePath(const QString& fileName)
{
    const QFileInfo file(fileName);
    return file.absolutePath() + QLatin1Char('/') + journalDirectoryName()
        + QStringLiteral("/config-write");
}

static QStringList qtWriteNames(const QString& fileName)
{
    static const QRegularExpression suffix(QStringLiteral("^[A-Za-z]{6}$"));
    const QFileInfo file(fileName);
    const QString prefix = file.fileName() + QLatin1Char('.');
    QStringList names = file.absoluteDir().entryList(
        QStringList(prefix + QLatin1String("??????")), QDir::Files | QDir::Hidden);
    names.erase(std::remove_if(names.begin(), names.end(),
                    [&](const QString& name) {
                        return !name.startsWith(prefix)
                            || !suffix.match(name.mid(prefix.size())).hasMatch();
                    }),
        names.end());
    return names;
}

bool markConfigWrite(const QString& fileName)
{
    const QString note = writeNotePath(fileName);
    QDir().mkpath(QFileInfo(note).absolutePath());
    QFile file(note);
    const QByteArray names = qtWriteNames(fileName).join(QLatin1Char('\n')).toUtf8();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(names) == names.size();
}

void clearConfigWriteMark(const QString& fileName)
{
    const QString note = writeNotePath(fileName);
    QFile::remove(note);
    // Only when empty: during an installation the journal lives there.
    QDir().rmdir(QFileInfo(note).absolutePath());
}

QStringList removeInterruptedConfigWrites(const QString& fileName)
{
    const QString note = writeNotePath(fileName);
    QFile file(note);
    // A normal start: the last write went through, and nothing is looked at.
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    const QStringList before = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    file.close();
    const QFileInfo config(fileName);
    // A writer holds the lock while its new file is written: taken, no new file is in use.
    QLockFile lock(config.absoluteFilePath() + QLatin1String(".lock"));
    if (!lock.tryLock(0))
        return QStringList();
    QStringList removed;
    QDir dir = config.absoluteDir();
    for (const QString& name : qtWriteNames(fileName)) {
        if (!before.contains(name) && dir.remove(name))
            removed.append(name);
    }
    clearConfigWriteMark(fileName);
    return removed;
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
        // Named as the user knows it: relative to the application directory.
        qDebug().noquote() << tagged(QStringLiteral("[ERROR]:malformed, left unchanged:"))
                           << quoted(QDir(applicationDirectory()).relativeFilePath(fileName));
        return nullptr;
    }
    removeUnreadableLock(fileName);
    return settings;
}

bool commitConfig(QSettings& settings)
{
    const QString fileName = QFileInfo(settings.fileName()).absoluteFilePath();
    markConfigWrite(fileName);
    // A read-only mark would turn every write into an access error.
    clearReadOnlyMark(fileName);
    settings.sync();
    clearConfigWriteMark(fileName);
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

QStringList baseUrlList(const QVariant& value, const char* fallback)
{
    // QSettings reads an unquoted comma list as a list, a quoted one as one string.
    const QStringList parts = value.type() == QVariant::StringList
        ? value.toStringList()
        : value.toString().split(QLatin1Char(','));
    QStringList urls;
    for (const QString& part : parts) {
        if (!part.trimmed().isEmpty())
            urls.append(part.trimmed());
    }
    if (urls.isEmpty())
        urls.append(QString::fromUtf8(fallback));
    return urls;
}

QStringList apiBaseUrls()
{
    return baseUrlList(
        openConfig()->value(QLatin1String(ConfigKey::apiUrl)), UPDATER_DEFAULT_API_URL);
}

QStringList packageBaseUrls()
{
    return baseUrlList(
        openConfig()->value(QLatin1String(ConfigKey::packageUrl)), UPDATER_DEFAULT_PACKAGE_URL);
}

QString apiBaseUrl() { return apiBaseUrls().first(); }

QString packageBaseUrl() { return packageBaseUrls().first(); }

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
