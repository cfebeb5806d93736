#include "reliability.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

bool canRunAsNobody()
{
#ifdef Q_OS_UNIX
    return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
#else
    return false; // no user switch outside Unix
#endif
}

QStringList asNobody()
{
    return { QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
        QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"), QStringLiteral("--") };
}

UpdaterRun runAsNobody(AppDir& app, int timeoutMs)
{
    RunOptions options;
    options.wrapper = asNobody();
    options.timeoutMs = timeoutMs;
    return app.runUpdater(options);
}

#ifdef Q_OS_UNIX
static bool nobodyIds(uid_t* uid, gid_t* gid)
{
    const passwd* entry = getpwnam("nobody");
    if (!entry)
        return false;
    *uid = entry->pw_uid;
    *gid = entry->pw_gid;
    return true;
}

bool chownToNobody(const QString& path)
{
    uid_t uid;
    gid_t gid;
    return nobodyIds(&uid, &gid) && ::lchown(QFile::encodeName(path).constData(), uid, gid) == 0;
}
#else
bool chownToNobody(const QString&) { return false; }
#endif

// The temporary directory is created for its owner only.
static bool openRoot(AppDir& app)
{
    return QFile::setPermissions(app.rootPath(),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther);
}

bool openToEveryone(AppDir& app)
{
    return openRoot(app)
        && QFile::setPermissions(app.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                | QFile::ExeOther);
}

bool giveToNobody(AppDir& app)
{
    // The fake main program records itself next to its script; as nobody it can do so only
    // in files nobody may write, even where a row makes the directory read-only later.
    for (const QString& name : { AppDir::startRecordFile(), AppDir::outlivedFile() }) {
        QFile file(app.filePath(name));
        if (!file.open(QIODevice::Append))
            return false;
    }
    bool ok = chownToNobody(app.rootPath());
    QDirIterator it(app.rootPath(),
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        ok = chownToNobody(it.next()) && ok;
    return ok && openRoot(app);
}

static QString settingText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1String(", "));
    return value.toString();
}

ConfigState readConfigState(const QString& path)
{
    ConfigState state;
    QFile file(path);
    state.exists = file.exists();
    if (!file.open(QIODevice::ReadOnly))
        return state;
    const QByteArray bytes = file.readAll();
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.ini"));
    if (!dir.isValid() || !writeFileBytes(copy, bytes))
        return state;
    QSettings settings(copy, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("GB2312"));
    const QStringList keys = settings.allKeys();
    state.status = settings.status();
    for (const QString& key : keys)
        state.values.insert(key, settingText(settings, key));
    return state;
}

TreeSnapshot snapshotTree(const QString& dir, const QStringList& ignore)
{
    TreeSnapshot snapshot;
    const QDir base(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        bool ignored = false;
        for (const QString& skip : ignore)
            ignored = ignored || relative == skip || relative.startsWith(skip + QLatin1Char('/'));
        if (ignored)
            continue;
        const QFileInfo info(path);
        if (info.isSymLink())
            snapshot.insert(relative, "<link>" + QFile::encodeName(info.symLinkTarget()));
        else if (info.isDir())
            snapshot.insert(relative, "<dir>");
        else
            snapshot.insert(relative, readFileBytes(path));
    }
    return snapshot;
}

QString describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual)
{
    QStringList lines;
    QSet<QString> paths;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        paths.insert(it.key());
    for (auto it = actual.cbegin(); it != actual.cend(); ++it)
        paths.insert(it.key());
    QStringList sorted = paths.values();
    sorted.sort();
    for (const QString& path : sorted) {
        if (!actual.contains(path))
            lines.append(QStringLiteral("missing: ") + path);
        else if (!expected.contains(path))
            lines.append(QStringLiteral("new: ") + path);
        else if (expected.value(path) != actual.value(path))
            lines.append(QStringLiteral("changed: ") + path);
    }
    return lines.join(QLatin1Char('\n'));
}

QStringList logMessagesFrom(const AppDir& app, int logFrom)
{
    return app.logMessages().mid(logFrom);
}

int indexOfMessage(const QStringList& messages, const QString& pattern)
{
    const QRegularExpression expression(pattern);
    for (int i = 0; i < messages.size(); ++i) {
        if (expression.match(messages.at(i)).hasMatch())
            return i;
    }
    return -1;
}

void verifyRunHandedOver(AppDir& app, const UpdaterRun& run, int logFrom, int startsBefore)
{
    verifyNormalExit(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = logMessagesFrom(app, logFrom);
    QVERIFY2(messages.count(QStringLiteral("\"Orbelan.exe\"")) == 1,
        qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY2(app.waitForStarts(startsBefore + 1), "the main program was not started");
    const QList<MainProgramStart> starts = app.mainProgramStarts();
    QCOMPARE(starts.size(), startsBefore + 1);
    QCOMPARE(starts.last().argumentCount, 1);
    QCOMPARE(starts.last().firstArgument, QString(""));
}

QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1u;
    for (int i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state & 0xff);
    }
    return bytes;
}
