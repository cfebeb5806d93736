#ifndef RELIABILITY_H
#define RELIABILITY_H

#include "appdir.h"
#include "zipbuilder.h"

#include <QByteArray>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>

// Whether asNobody() can work here: it takes root and setpriv.
bool canRunAsNobody();
// Prefix that runs a command as user nobody, group nogroup, without supplementary groups.
QStringList asNobody();
// Runs the updater of `app` as nobody, like AppDir::runUpdater.
UpdaterRun runAsNobody(AppDir& app, int timeoutMs);
// Lets a run as nobody use the installation while root keeps owning every file in it: the
// root becomes searchable and the application directory writable for everyone.
bool openToEveryone(AppDir& app);
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

// The hand-over of one run: a normal exit, the quoted program line once in this run's part
// of the log (`logFrom` = number of log lines before the run) and exactly one new start of
// the fake main program, with one empty argument. QtTest checks.
void verifyRunHandedOver(AppDir& app, const UpdaterRun& run, int logFrom, int startsBefore);

// `size` bytes that deflate cannot shrink, different for each `seed`.
QByteArray noise(int size, quint32 seed);

// The messages of this run's part of the log.
QStringList logMessagesFrom(const AppDir& app, int logFrom);
// Index of the first message in which `pattern` (a regular expression) matches, or -1.
int indexOfMessage(const QStringList& messages, const QString& pattern);

#endif // RELIABILITY_H
