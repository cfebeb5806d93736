// Unit tests of the directory tree removal: removeTree, the free function behind
// UpdateTarvilDialog::removeDirTree.
//
// Permission cases need a user that the file system does not let do everything: root may
// remove and list anything. Those cases run the removal in a second process as user nobody,
// through setpriv: this executable, started with UPDATER_REMOVETREE_PATH in its environment,
// removes that tree and prints the result instead of running the tests.

#include "reliability.h"
#include "removedirtree.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const char helperVariable[] = "UPDATER_REMOVETREE_PATH";
const uid_t nobodyUid = 65534;
const gid_t nogroupGid = 65534;

bool makeFile(const QString& path, const QByteArray& bytes = "data")
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

bool makeDir(const QString& path) { return QDir().mkpath(path); }

// Every path below `root`, relative, sorted: the state of a tree, links not followed.
QStringList treeState(const QString& root)
{
    QStringList paths;
    QStringList pending { root };
    while (!pending.isEmpty()) {
        const QString dir = pending.takeFirst();
        const QFileInfoList entries = QDir(dir).entryInfoList(
            QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) {
            const QString relative = QDir(root).relativeFilePath(entry.filePath());
            if (entry.isSymLink()) {
                paths.append(relative + QStringLiteral(" -> link"));
            } else if (entry.isDir()) {
                paths.append(relative + QLatin1Char('/'));
                pending.append(entry.filePath());
            } else {
                paths.append(relative);
            }
        }
    }
    paths.sort();
    return paths;
}

bool exists(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

bool chownTree(const QString& path, uid_t uid, gid_t gid)
{
    if (::lchown(QFile::encodeName(path).constData(), uid, gid) != 0)
        return false;
    const QFileInfo info(path);
    if (!info.isDir() || info.isSymLink())
        return true;
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!chownTree(entry.filePath(), uid, gid))
            return false;
    }
    return true;
}

bool setMode(const QString& path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool setOwner(const QString& path, uid_t uid)
{
    return ::lchown(QFile::encodeName(path).constData(), uid, uid == 0 ? 0 : nogroupGid) == 0;
}

} // namespace

class TestRemoveDirTree : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void missingPathIsTrue();
    void missingPathBelowFileIsTrue();
    void emptyDirectory();
    void hiddenEntries();
    void threeLevels();
    void relativePath();
    void trailingSlash();
    void manyEntries();
    void symlinkToOutsideDirectory();
    void symlinkToOutsideFile();
    void danglingSymlink();
    void pathIsSymlink();
    void fifoIsSkipped();
    void memberDelegates();

    // As user nobody.
    void readOnlyFileAsNobody();
    void rootOwnedSubdirectoryAsNobody();
    void unremovableFileAsNobody();
    void linkToReadOnlyTargetAsNobody();

private:
    std::unique_ptr<QTemporaryDir> base;
    QString previousDir;

    QString at(const QString& relative) const { return base->path() + QLatin1Char('/') + relative; }
    // Runs removeTree(path) as user nobody in a second process; "true", "false", or the
    // reason it could not run.
    QString removeAsNobody(const QString& path);
    void requireNobody();
};

void TestRemoveDirTree::init()
{
    base = std::make_unique<QTemporaryDir>();
    QVERIFY(base->isValid());
    previousDir = QDir::currentPath();
}

void TestRemoveDirTree::cleanup()
{
    QDir::setCurrent(previousDir);
    if (base) {
        // Undo what the permission cases did, so that the directory can be cleaned up.
        QProcess::execute(QStringLiteral("chmod"),
            { QStringLiteral("-R"), QStringLiteral("u+rwX"), base->path() });
    }
    base.reset();
}

void TestRemoveDirTree::requireNobody()
{
    if (!canRunAsNobody())
        QSKIP("needs root and setpriv to run the removal as user nobody");
}

QString TestRemoveDirTree::removeAsNobody(const QString& path)
{
    // A copy of this executable that nobody may run, in a directory nobody may enter.
    if (!setMode(base->path(), 0755))
        return QStringLiteral("cannot open the base directory");
    const QString copy = at(QStringLiteral("helper"));
    if (!QFile::exists(copy)) {
        if (!QFile::copy(QCoreApplication::applicationFilePath(), copy) || !setMode(copy, 0755))
            return QStringLiteral("cannot copy the test executable");
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(helperVariable), path);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(base->path());
    QStringList command = asNobody();
    command.append(copy);
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("helper timed out");
    }
    const QString out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("helper failed: %1 %2")
            .arg(out, QString::fromUtf8(process.readAllStandardError()));
    return out;
}

void TestRemoveDirTree::missingPathIsTrue()
{
    QVERIFY(makeFile(at(QStringLiteral("other"))));
    const QStringList before = treeState(base->path());
    QVERIFY(removeTree(at(QStringLiteral("missing"))));
    QVERIFY(removeTree(at(QStringLiteral("missing/deeper"))));
    QCOMPARE(treeState(base->path()), before);
}

void TestRemoveDirTree::missingPathBelowFileIsTrue()
{
    // Not a directory: nothing to remove, and the file is not touched.
    QVERIFY(makeFile(at(QStringLiteral("file"))));
    QVERIFY(removeTree(at(QStringLiteral("file"))));
    QVERIFY(QFile::exists(at(QStringLiteral("file"))));
}

void TestRemoveDirTree::emptyDirectory()
{
    QVERIFY(makeDir(at(QStringLiteral("tree"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
    QVERIFY(QFileInfo(base->path()).isDir());
}

void TestRemoveDirTree::hiddenEntries()
{
    QVERIFY(makeDir(at(QStringLiteral("tree/.hiddendir/.deeper"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/.hidden"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/visible"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/.hiddendir/.x"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/.hiddendir/.deeper/.y"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
}

void TestRemoveDirTree::threeLevels()
{
    QVERIFY(makeDir(at(QStringLiteral("tree/a/b"))));
    for (const char* file :
        { "tree/f0", "tree/g0", "tree/a/f1", "tree/a/g1", "tree/a/b/f2", "tree/a/b/g2" })
        QVERIFY(makeFile(at(QString::fromLatin1(file))));
    QVERIFY(makeFile(at(QStringLiteral("sibling"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QCOMPARE(treeState(base->path()), QStringList { "sibling" });
}

void TestRemoveDirTree::relativePath()
{
    // As the hand-over calls it: "./update", relative to the current directory.
    QVERIFY(makeDir(at(QStringLiteral("update/sub"))));
    QVERIFY(makeFile(at(QStringLiteral("update/v1.001.zip"))));
    QVERIFY(makeFile(at(QStringLiteral("update/sub/file.dll"))));
    QVERIFY(QDir::setCurrent(base->path()));
    QVERIFY(removeTree(QStringLiteral("./update")));
    QVERIFY(!exists(at(QStringLiteral("update"))));
    QVERIFY(makeDir(at(QStringLiteral("update/sub"))));
    QVERIFY(removeTree(QStringLiteral("update")));
    QVERIFY(!exists(at(QStringLiteral("update"))));
}

void TestRemoveDirTree::trailingSlash()
{
    QVERIFY(makeDir(at(QStringLiteral("tree/a"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/a/f"))));
    QVERIFY(removeTree(at(QStringLiteral("tree/"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
}

void TestRemoveDirTree::manyEntries()
{
    for (int d = 0; d < 10; ++d) {
        QVERIFY(makeDir(at(QStringLiteral("tree/d%1/e").arg(d))));
        for (int f = 0; f < 10; ++f) {
            QVERIFY(makeFile(at(QStringLiteral("tree/d%1/f%2").arg(d).arg(f))));
            QVERIFY(makeFile(at(QStringLiteral("tree/d%1/e/f%2").arg(d).arg(f))));
        }
    }
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
}

void TestRemoveDirTree::symlinkToOutsideDirectory()
{
    QVERIFY(makeDir(at(QStringLiteral("outside/inner"))));
    QVERIFY(makeFile(at(QStringLiteral("outside/keep"))));
    QVERIFY(makeFile(at(QStringLiteral("outside/inner/keep2"))));
    QVERIFY(makeDir(at(QStringLiteral("tree/a"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/a/f"))));
    QVERIFY(QFile::link(at(QStringLiteral("outside")), at(QStringLiteral("tree/link"))));
    QVERIFY(QFile::link(at(QStringLiteral("outside")), at(QStringLiteral("tree/a/link2"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
    QCOMPARE(treeState(at(QStringLiteral("outside"))),
        (QStringList { "inner/", "inner/keep2", "keep" }));
}

void TestRemoveDirTree::symlinkToOutsideFile()
{
    QVERIFY(makeFile(at(QStringLiteral("outside.txt")), "outside"));
    QVERIFY(makeDir(at(QStringLiteral("tree"))));
    QVERIFY(QFile::link(at(QStringLiteral("outside.txt")), at(QStringLiteral("tree/link"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
    QFile outside(at(QStringLiteral("outside.txt")));
    QVERIFY(outside.open(QIODevice::ReadOnly));
    QCOMPARE(outside.readAll(), QByteArray("outside"));
}

void TestRemoveDirTree::danglingSymlink()
{
    // Links are removed as themselves, also when their target is gone: otherwise the tree
    // (the download directory) could never be removed.
    QVERIFY(makeDir(at(QStringLiteral("tree/a"))));
    QVERIFY(QFile::link(at(QStringLiteral("nowhere")), at(QStringLiteral("tree/a/dangling"))));
    QVERIFY(QFileInfo(at(QStringLiteral("tree/a/dangling"))).isSymLink());
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
}

void TestRemoveDirTree::pathIsSymlink()
{
    // A link in place of the tree: the link goes, the directory it points to stays whole.
    QVERIFY(makeDir(at(QStringLiteral("target/sub"))));
    QVERIFY(makeFile(at(QStringLiteral("target/file"))));
    QVERIFY(makeFile(at(QStringLiteral("target/sub/file"))));
    QVERIFY(QFile::link(at(QStringLiteral("target")), at(QStringLiteral("tree"))));
    QVERIFY(removeTree(at(QStringLiteral("tree"))));
    QVERIFY(!exists(at(QStringLiteral("tree"))));
    QCOMPARE(treeState(at(QStringLiteral("target"))), (QStringList { "file", "sub/", "sub/file" }));

    // Also when the path is given with a trailing slash.
    QVERIFY(QFile::link(at(QStringLiteral("target")), at(QStringLiteral("tree2"))));
    QVERIFY(removeTree(at(QStringLiteral("tree2/"))));
    QVERIFY(!exists(at(QStringLiteral("tree2"))));
    QCOMPARE(treeState(at(QStringLiteral("target"))), (QStringList { "file", "sub/", "sub/file" }));
}

void TestRemoveDirTree::fifoIsSkipped()
{
    // A system entry is neither listed nor removed: its directory stays, with
    // every directory before it in the work list; the directories after it are removed.
    QVERIFY(makeDir(at(QStringLiteral("tree/a"))));
    QVERIFY(makeDir(at(QStringLiteral("tree/b/c"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/f"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/a/f"))));
    QVERIFY(makeFile(at(QStringLiteral("tree/b/c/f"))));
    QVERIFY(::mkfifo(QFile::encodeName(at(QStringLiteral("tree/a/fifo"))).constData(), 0666) == 0);
    QVERIFY(!removeTree(at(QStringLiteral("tree"))));
    // Work list: tree, tree/a, tree/b, tree/b/c. Backwards: c and b go, a fails.
    QCOMPARE(treeState(at(QStringLiteral("tree"))), (QStringList { "a/", "a/fifo" }));
}

void TestRemoveDirTree::memberDelegates()
{
    // The member that the hand-over calls, on a dialog made in a directory whose settings
    // point at a closed port. The event loop is never run, so the run it starts goes no
    // further than its first request, and there is no main program to start anyway.
    QVERIFY(makeFile(at(QStringLiteral("Config.ini")),
        "[Server]\nApiUrl=http://127.0.0.1:1\nPackageUrl=http://127.0.0.1:1\n"));
    QVERIFY(QDir::setCurrent(base->path()));
    UpdateTarvilDialog dialog;
    QVERIFY(QFileInfo(at(QStringLiteral("update"))).isDir());
    QVERIFY(makeDir(at(QStringLiteral("update/a/b"))));
    QVERIFY(makeFile(at(QStringLiteral("update/a/b/f"))));
    QVERIFY(makeFile(at(QStringLiteral("update/.h"))));
    QVERIFY(dialog.removeDirTree(QStringLiteral("./update")));
    QVERIFY(!exists(at(QStringLiteral("update"))));
    QVERIFY(dialog.removeDirTree(QStringLiteral("./update")));
    QVERIFY(!exists(at(QStringLiteral("Orbelan.exe"))));
}

void TestRemoveDirTree::readOnlyFileAsNobody()
{
    requireNobody();
    // tree, tree/a (holding the read-only file), tree/b, tree/c, then tree/a/x.
    const QString tree = at(QStringLiteral("own/tree"));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/a/x"))));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/b"))));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/c"))));
    for (const char* file :
        { "own/tree/top", "own/tree/a/f", "own/tree/a/ro", "own/tree/a/x/g", "own/tree/b/h" })
        QVERIFY(makeFile(at(QString::fromLatin1(file))));
    QVERIFY(chownTree(at(QStringLiteral("own")), nobodyUid, nogroupGid));
    QVERIFY(setMode(at(QStringLiteral("own/tree/a/ro")), 0444));

    QCOMPARE(removeAsNobody(tree), QStringLiteral("false"));
    // All other files are gone, the read-only one stays; its directory and every directory
    // before it in the work list stay, the directories after it are removed.
    QCOMPARE(treeState(tree), (QStringList { "a/", "a/ro" }));
}

void TestRemoveDirTree::rootOwnedSubdirectoryAsNobody()
{
    requireNobody();
    // A directory that nobody may not write (root's, 0755) inside nobody's tree: it is not
    // listed, so neither it nor anything in it is removed, and the tree itself stays.
    const QString tree = at(QStringLiteral("own/tree"));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/r/inner"))));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/s/t"))));
    for (const char* file : { "own/tree/top", "own/tree/r/keep", "own/tree/r/inner/keep2",
             "own/tree/s/f", "own/tree/s/t/g" })
        QVERIFY(makeFile(at(QString::fromLatin1(file))));
    QVERIFY(chownTree(at(QStringLiteral("own")), nobodyUid, nogroupGid));
    QVERIFY(chownTree(at(QStringLiteral("own/tree/r")), 0, 0));
    QVERIFY(setMode(at(QStringLiteral("own/tree/r")), 0755));

    QCOMPARE(removeAsNobody(tree), QStringLiteral("false"));
    QCOMPARE(treeState(tree), (QStringList { "r/", "r/inner/", "r/inner/keep2", "r/keep" }));
}

void TestRemoveDirTree::unremovableFileAsNobody()
{
    requireNobody();
    // A listed file that cannot be removed: root's, 0666, in a sticky directory that anyone
    // may write. The call ends in the collecting walk: the files removed before stay
    // removed, and no directory has been removed yet.
    const QString tree = at(QStringLiteral("own/tree"));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/m"))));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/n/o"))));
    for (const char* file :
        { "own/tree/1", "own/tree/z", "own/tree/m/x", "own/tree/n/y", "own/tree/n/o/w" })
        QVERIFY(makeFile(at(QString::fromLatin1(file))));
    QVERIFY(chownTree(at(QStringLiteral("own")), nobodyUid, nogroupGid));
    QVERIFY(setOwner(at(QStringLiteral("own/tree/m")), 0));
    QVERIFY(setMode(at(QStringLiteral("own/tree/m")), 01777));
    QVERIFY(setOwner(at(QStringLiteral("own/tree/m/x")), 0));
    QVERIFY(setMode(at(QStringLiteral("own/tree/m/x")), 0666));

    QCOMPARE(removeAsNobody(tree), QStringLiteral("false"));
    // tree: 1 and z removed, m and n appended; tree/m: x fails. tree/n was never walked.
    QCOMPARE(treeState(tree), (QStringList { "m/", "m/x", "n/", "n/o/", "n/o/w", "n/y" }));
}

void TestRemoveDirTree::linkToReadOnlyTargetAsNobody()
{
    requireNobody();
    // The permissions a listing sees for a link are its target's: a link to a file or a
    // directory that nobody may not write must still go with the tree.
    const QString tree = at(QStringLiteral("own/tree"));
    QVERIFY(makeDir(at(QStringLiteral("own/tree/a"))));
    QVERIFY(makeFile(at(QStringLiteral("own/tree/a/f"))));
    QVERIFY(makeFile(at(QStringLiteral("rootfile")), "root's"));
    QVERIFY(makeDir(at(QStringLiteral("rootdir"))));
    QVERIFY(makeFile(at(QStringLiteral("rootdir/keep"))));
    QVERIFY(setMode(at(QStringLiteral("rootfile")), 0644));
    QVERIFY(setMode(at(QStringLiteral("rootdir")), 0755));
    QVERIFY(QFile::link(at(QStringLiteral("rootfile")), at(QStringLiteral("own/tree/a/filelink"))));
    QVERIFY(QFile::link(at(QStringLiteral("rootdir")), at(QStringLiteral("own/tree/dirlink"))));
    QVERIFY(chownTree(at(QStringLiteral("own")), nobodyUid, nogroupGid));

    QCOMPARE(removeAsNobody(tree), QStringLiteral("true"));
    QVERIFY(!exists(tree));
    QVERIFY(QFileInfo(at(QStringLiteral("own"))).isDir());
    QCOMPARE(treeState(at(QStringLiteral("rootdir"))), QStringList { "keep" });
    QFile file(at(QStringLiteral("rootfile")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("root's"));
}

int main(int argc, char* argv[])
{
    const QByteArray helperPath = qgetenv(helperVariable);
    if (!helperPath.isEmpty()) {
        // Helper mode, as user nobody: remove the tree, print the result.
        QCoreApplication app(argc, argv);
        const bool result = removeTree(QFile::decodeName(helperPath));
        std::printf("%s\n", result ? "true" : "false");
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestRemoveDirTree test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_removedirtree.moc"
