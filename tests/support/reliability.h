#ifndef RELIABILITY_H
#define RELIABILITY_H

#include "appdir.h"
#include "zipbuilder.h"

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>

// How a fault-injection run of the real updater is started and when it is cut short.
struct FaultRun {
    // Command put in front of the updater: another user, a resource limit, a mount.
    QStringList wrapper;
    // Extra environment for the updater (and whatever the wrapper starts).
    QProcessEnvironment environment;
    int timeoutMs = 30000;
    // SIGKILL this long after the start; negative: never.
    int killAfterMs = -1;
    // Polled about once a millisecond while the updater runs; true kills it (SIGKILL).
    std::function<bool()> killWhen;
};

struct FaultRunResult {
    UpdaterRun run;
    bool killed = false; // killed on purpose by killAfterMs or killWhen
};

// Runs the updater of `app` from its working directory like AppDir::runUpdater, with the
// event loop running, but through `options.wrapper` and with the kill options above.
FaultRunResult runUpdaterWith(AppDir& app, const FaultRun& options);

// Prefix that runs a command as user nobody, group nogroup, without supplementary groups.
QStringList asNobody();
// Hands the whole temporary tree of `app` to nobody and opens its root to others, so a
// run as nobody can use the installation while root keeps full access.
bool giveToNobody(AppDir& app);
bool chownToNobody(const QString& path);

// Config.ini as the main program would find it: whether it parses, and its keys and values.
struct ConfigState {
    bool exists = false;
    QSettings::Status status = QSettings::AccessError;
    QMap<QString, QString> values;
};
// Parses the bytes from a private copy, so QSettings' per-process cache cannot answer
// from an earlier reading of the same name.
ConfigState readConfigState(const QString& path);

// Every file, directory and link below `dir`, by relative path: file contents, "<dir>" or
// "<link>target". Entries named in `ignore` (relative paths) are left out with their trees.
using TreeSnapshot = QMap<QString, QByteArray>;
TreeSnapshot snapshotTree(const QString& dir, const QStringList& ignore = QStringList());
// What differs between two snapshots, one line per path, for failure messages.
QString describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual);

// Files the fake main program and the updater itself write in the application directory.
QStringList runArtefacts();

// The hand-over of one run: a normal exit, the quoted program line once in this run's part
// of the log (`logFrom` = number of log lines before the run) and exactly one new start of
// the fake main program, with one empty argument. QtTest checks.
void verifyRunHandedOver(AppDir& app, const UpdaterRun& run, int logFrom, int startsBefore);

// Bytes of an archive built from `entries`.
QByteArray archiveBytes(const QVector<ZipEntry>& entries);
QByteArray readFileBytes(const QString& path);
bool writeFileBytes(const QString& path, const QByteArray& bytes);

// `size` bytes that deflate cannot shrink, different for each `seed`.
QByteArray noise(int size, quint32 seed);

// The messages of this run's part of the log.
QStringList logMessagesFrom(const AppDir& app, int logFrom);
// Index of the first message in which `pattern` (a regular expression) matches, or -1.
int indexOfMessage(const QStringList& messages, const QString& pattern);

#endif // RELIABILITY_H
