#include "transaction.h"
#include "debugtext.h"
#include "fileops.h"
#include "journalname.h"
#include "readonlymark.h"
#include "removedirtree.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

namespace {

const char journalName[] = "journal";
const char committedName[] = "committed";
const char backupPrefix[] = "backup-";

// A file, a directory or a link, dangling or not.
bool present(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// How long a file that another process holds is waited for: scanners and indexers hold a
// fresh executable for seconds.
constexpr qint64 holdWaitMs = 10000;

bool isCancelled(const InstallControl* control) { return control && control->isCancelled(); }

// Sleeps in short slices, so a cancellation ends the wait at once.
void pause(qint64 ms, const InstallControl* control)
{
    QElapsedTimer slept;
    slept.start();
    while (!isCancelled(control) && slept.elapsed() < ms)
        QThread::msleep(ulong(qBound<qint64>(1, ms - slept.elapsed(), 20)));
}

// A rename or removal that another process's hold fails is tried again with growing pauses
// until the hold ends, the wait is over or the installation is cancelled.
FileOpResult retried(const std::function<FileOpResult()>& attempt, const InstallControl* control)
{
    QElapsedTimer waited;
    waited.start();
    qint64 pauseMs = 10;
    FileOpResult result = attempt();
    while (!result && result.held && !isCancelled(control) && waited.elapsed() < holdWaitMs) {
        pause(qMin(pauseMs, holdWaitMs - waited.elapsed()), control);
        pauseMs = qMin<qint64>(pauseMs * 2, 1000);
        result = attempt();
    }
    return result;
}

// A rename only: never a copy, which could leave half a file behind.
FileOpResult renamePath(
    const QString& from, const QString& to, const InstallControl* control = nullptr)
{
    return retried([&] { return renameFile(from, to); }, control);
}

bool removePath(const QString& path, const InstallControl* control = nullptr)
{
    clearReadOnlyMark(path);
    return bool(retried([&] { return removeFile(path); }, control));
}

// The extracted file is renamed in. From another file system (update/ mounted apart) it is
// copied next to the backups first, so the target still changes by one rename.
bool moveIn(const QString& source, const QString& target, const QString& staging,
    const InstallControl* control, QString* error)
{
    FileOpResult result = renamePath(source, target, control);
    if (result.crossDevice && QFile::copy(source, staging))
        result = renamePath(staging, target, control);
    *error = result.message;
    return bool(result);
}

bool isReserved(const QString& relative)
{
    const QString first = relative.section(QLatin1Char('/'), 0, 0);
    return first.compare(InstallTransaction::directoryName(), Qt::CaseInsensitive) == 0;
}

// Where file names differ only in case, Windows sees one file.
QString targetKey(const QString& relative)
{
#ifdef Q_OS_WIN
    return relative.toLower();
#else
    return relative;
#endif
}

QJsonObject stepToJson(const InstallTransaction::Step& step)
{
    return QJsonObject { { QStringLiteral("directory"), step.directory },
        { QStringLiteral("target"), step.target }, { QStringLiteral("existed"), step.existed } };
}

InstallTransaction::Step stepFromJson(const QJsonObject& object)
{
    InstallTransaction::Step step;
    step.directory = object.value(QStringLiteral("directory")).toBool();
    step.target = object.value(QStringLiteral("target")).toString();
    step.existed = object.value(QStringLiteral("existed")).toBool(true);
    return step;
}

// The first backup directory that is missing or empty: an earlier package's one is reused,
// one holding a file that could not be deleted is not.
QString freeBackupName(const QString& journalDir)
{
    for (int n = 1;; ++n) {
        const QString name = QString::fromLatin1(backupPrefix) + QString::number(n);
        const QString path = journalDir + QLatin1Char('/') + name;
        if (!present(path) || (QFileInfo(path).isDir() && QDir(path).isEmpty()))
            return name;
    }
}

} // namespace

InstallTransaction::InstallTransaction(const QString& appDir)
    : appDir(appDir)
    , journalDir(appDir + QLatin1Char('/') + directoryName())
{
}

QString InstallTransaction::directoryName() { return journalDirectoryName(); }

QString InstallTransaction::path(const QString& relative) const
{
    return appDir + QLatin1Char('/') + relative;
}

QString InstallTransaction::backupPath(int index) const
{
    return journalDir + QLatin1Char('/') + backupDir + QLatin1Char('/') + QString::number(index);
}

bool InstallTransaction::prepare(const QVector<InstallAction>& plan, const QString& recordKey,
    const QString& version, QString* reason)
{
    this->recordKey = recordKey;
    this->version = version;
    steps.clear();
    order.clear();
    QHash<QString, int> stepOfTarget;
    const QDir root(appDir);
    for (const InstallAction& action : plan) {
        if (action.kind == InstallAction::DropConfig) {
            QFile::remove(action.source);
            continue;
        }
        const QString target = root.relativeFilePath(action.target);
        if (isReserved(target)) {
            *reason = QStringLiteral("%1: reserved for the installation journal").arg(target);
            return false;
        }
        const QString key = targetKey(target);
        if (!stepOfTarget.contains(key)) {
            stepOfTarget.insert(key, steps.size());
            Step step;
            step.directory = action.kind == InstallAction::MakeDirectory;
            step.target = target;
            step.existed
                = step.directory ? QFileInfo(action.target).isDir() : present(action.target);
            steps.append(step);
        }
        steps[stepOfTarget.value(key)].entries.append(action.source);
        order.append({ stepOfTarget.value(key), action.source, action.logged });
    }
    return writeJournal(reason);
}

bool InstallTransaction::writeJournal(QString* reason)
{
    const QString journal = journalDir + QLatin1Char('/') + QLatin1String(journalName);
    if (present(journal) || present(journalDir + QLatin1Char('/') + QLatin1String(committedName))) {
        *reason = QStringLiteral("%1: an earlier installation is unfinished").arg(journal);
        return false;
    }
    backupDir = freeBackupName(journalDir);
    QJsonArray list;
    for (const Step& step : qAsConst(steps))
        list.append(stepToJson(step));
    const QJsonObject object { { QStringLiteral("key"), recordKey },
        { QStringLiteral("version"), version }, { QStringLiteral("backups"), backupDir },
        { QStringLiteral("steps"), list } };
    QSaveFile file(journal);
    // commit() flushes the file to the disk before it takes the journal's name.
    if (!QDir().mkpath(journalDir + QLatin1Char('/') + backupDir)
        || !file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(object).toJson(QJsonDocument::Compact)) < 0 || !file.commit()) {
        *reason = QStringLiteral("%1: cannot be written").arg(journal);
        QDir(journalDir).rmdir(backupDir);
        QDir().rmdir(journalDir);
        return false;
    }
    return true;
}

void InstallTransaction::setControl(InstallControl* control) { this->control = control; }

// The entries in archive order, each with its log lines; a step runs at its first entry, so
// the steps run in their journal order and a rollback walks them back.
bool InstallTransaction::apply(QString* reason)
{
    QVector<bool> done(steps.size(), false);
    for (const Entry& entry : qAsConst(order)) {
        if (isCancelled(control)) {
            *reason = QStringLiteral("cancelled");
            rollBack();
            return false;
        }
        logEntry(entry);
        if (!done.at(entry.step) && !applyStep(entry.step, reason)) {
            // A wait for a held file ends early when cancelled.
            if (isCancelled(control))
                *reason = QStringLiteral("cancelled");
            rollBack();
            return false;
        }
        done[entry.step] = true;
        if (control)
            control->advance();
    }
    return true;
}

void InstallTransaction::logEntry(const Entry& entry) const
{
    if (!entry.logged)
        return;
    qDebug().noquote() << quoted(tagged(QStringLiteral("down_zip-files[OK]:%1").arg(entry.path)));
    const Step& step = steps.at(entry.step);
    if (step.directory)
        qDebug().noquote() << "temppath:" << quoted(path(step.target));
}

bool InstallTransaction::applyStep(int index, QString* reason)
{
    const Step& step = steps.at(index);
    if (!step.directory)
        return replaceFile(index, reason);
    const QString target = path(step.target);
    if (step.existed || QDir().mkdir(target))
        return true;
    qDebug().noquote() << tagged(QStringLiteral("[ERROR]:CreateDir:")) << quoted(target);
    *reason = QStringLiteral("%1: the directory cannot be created").arg(step.target);
    return false;
}

// The old file is renamed into the backups, then the new one takes its name.
bool InstallTransaction::replaceFile(int index, QString* reason)
{
    const Step& step = steps.at(index);
    const QString target = path(step.target);
    const QFileInfo existing(target);
    QString error;
    if (existing.isDir() && !existing.isSymLink()) {
        error = QStringLiteral("a directory is in the way");
    } else if (const FileOpResult aside
               = step.existed ? renamePath(target, backupPath(index), control) : FileOpResult();
               !aside) {
        error = QStringLiteral("cannot be moved aside: %1").arg(aside.message);
    } else {
        const QString source = step.entries.last();
        if (moveIn(source, target, backupPath(index) + QLatin1String(".new"), control, &error))
            return true;
        // Extraction wrote it moments ago: a scanner's quarantine is what takes files so.
        if (!present(source)) {
            extractedFileLost = true;
            error = QStringLiteral("%1 disappeared after extraction, likely removed by a virus "
                                   "scanner")
                        .arg(source);
        }
        qDebug().noquote() << quoted(
            tagged(QStringLiteral("[ERROR]:[%1]->\n\t[%2]").arg(source, target)));
        *reason = QStringLiteral("%1: cannot be moved in: %2").arg(step.target, error);
        return false;
    }
    qDebug().noquote() << quoted(tagged(QStringLiteral("[ERROR]:remove:%1").arg(target)));
    *reason = QStringLiteral("%1: %2").arg(step.target, error);
    return false;
}

// Undoes whatever of the step happened; a step that never ran is left as it is. So the
// same walk finishes a rollback that a kill interrupted.
bool InstallTransaction::undoStep(int index)
{
    const Step& step = steps.at(index);
    const QString target = path(step.target);
    if (step.directory) {
        if (!step.existed && QFileInfo(target).isDir())
            return QDir().rmdir(target);
        return true;
    }
    const QString backup = backupPath(index);
    if (present(backup)) {
        if (present(target) && !removePath(target, control))
            return false;
        return bool(renamePath(backup, target, control));
    }
    if (!step.existed && present(target))
        return removePath(target, control);
    return true;
}

bool InstallTransaction::rollBack()
{
    bool complete = true;
    for (int i = steps.size() - 1; i >= 0; --i) {
        if (!undoStep(i)) {
            qDebug().noquote() << quoted(QStringLiteral("%1 rollback: %2 cannot be restored")
                                             .arg(version, steps.at(i).target));
            complete = false;
        }
    }
    if (complete)
        dropJournal(QLatin1String(journalName));
    return complete;
}

void InstallTransaction::commit()
{
    // Once the journal says committed, a kill no longer leads to a rollback.
    const QString journal = journalDir + QLatin1Char('/') + QLatin1String(journalName);
    const QString committed = journalDir + QLatin1Char('/') + QLatin1String(committedName);
    if (const FileOpResult result = renamePath(journal, committed); !result)
        qDebug().noquote() << quoted(
            QStringLiteral("%1 commit: %2: %3").arg(version, journal, result.message));
    dropJournal(QLatin1String(committedName));
}

// The backups first, then the journal that explains them.
// The directories stay for the next package of the run; the hand-over removes them.
void InstallTransaction::dropJournal(const QString& fileName)
{
    const QDir backups(journalDir + QLatin1Char('/') + backupDir);
    for (const QString& name :
        backups.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        // A backup keeps the mark of the file it was; it must go all the same.
        clearReadOnlyMark(backups.filePath(name));
        removeFile(backups.filePath(name));
    }
    removePath(journalDir + QLatin1Char('/') + fileName);
}

void InstallTransaction::removeLeftovers(const QString& appDir)
{
    const QString journalDir = appDir + QLatin1Char('/') + directoryName();
    if (present(journalDir + QLatin1Char('/') + QLatin1String(journalName))
        || present(journalDir + QLatin1Char('/') + QLatin1String(committedName)))
        return;
    if (QFileInfo(journalDir).isDir() && !QFileInfo(journalDir).isSymLink())
        removeTree(journalDir);
}

bool InstallTransaction::readJournal(const QString& fileName)
{
    QFile file(journalDir + QLatin1Char('/') + fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    recordKey = object.value(QStringLiteral("key")).toString();
    version = object.value(QStringLiteral("version")).toString();
    backupDir = object.value(QStringLiteral("backups")).toString();
    steps.clear();
    for (const QJsonValue& value : object.value(QStringLiteral("steps")).toArray())
        steps.append(stepFromJson(value.toObject()));
    return !recordKey.isEmpty() && backupDir.startsWith(QLatin1String(backupPrefix));
}

QString InstallTransaction::recover(
    const QString& appDir, const std::function<QString(const QString& key)>& recorded)
{
    InstallTransaction transaction(appDir);
    QString line;
    if (transaction.readJournal(QLatin1String(committedName))) {
        transaction.dropJournal(QLatin1String(committedName));
        line = QStringLiteral("%1 install recovered: cleaned up").arg(transaction.version);
    } else if (transaction.readJournal(QLatin1String(journalName))) {
        if (recorded(transaction.recordKey) == transaction.version) {
            transaction.commit();
            line = QStringLiteral("%1 install recovered: cleaned up").arg(transaction.version);
        } else if (transaction.rollBack()) {
            line = QStringLiteral("%1 install recovered: rolled back").arg(transaction.version);
        } else {
            line = QStringLiteral("%1 install recovered: rollback incomplete")
                       .arg(transaction.version);
        }
    } else if (present(transaction.journalDir + QLatin1Char('/') + QLatin1String(journalName))) {
        line = QStringLiteral("install journal unreadable: %1").arg(transaction.journalDir);
    }
    removeLeftovers(appDir);
    return line;
}
