#include "keptindex.h"
#include "packageindex.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// An index of version 1.002 listing `paths`, records of 100 bytes one after another.
QByteArray indexListing(const QStringList& paths)
{
    PackageIndex index;
    index.version = QStringLiteral("1.002");
    index.archiveLength = 100 * paths.size() + 1000;
    index.archiveDigest = contentDigest("archive");
    index.directoryOffset = 100 * paths.size();
    for (int i = 0; i < paths.size(); ++i) {
        IndexEntry entry;
        entry.path = paths[i];
        entry.size = 10;
        entry.digest = contentDigest(paths[i].toUtf8());
        entry.offset = 100 * i;
        entry.length = 100;
        index.entries.append(entry);
    }
    return writePackageIndex(index);
}

QStringList listedPaths(const QByteArray& text)
{
    PackageIndex index;
    if (!readPackageIndex(text, &index).isEmpty())
        return { QStringLiteral("unreadable") };
    QStringList paths;
    for (const IndexEntry& entry : index.entries)
        paths.append(entry.path);
    return paths;
}

} // namespace

class KeptIndexTest : public QObject {
    Q_OBJECT

private slots:
    void afterInstallation_data();
    void afterInstallation();
    void stepJoinsThePlan();
};

void KeptIndexTest::afterInstallation_data()
{
    QTest::addColumn<QStringList>("kept"); // empty: no kept index
    QTest::addColumn<QStringList>("installed"); // targets of the plan's files
    QTest::addColumn<QStringList>("package"); // the program package's index; empty: none
    QTest::addColumn<QStringList>("after"); // empty: unchanged

    const QStringList program { "a.dll", "lib/b.dll", "lib/shared.db" };
    QTest::newRow("program package replaces it")
        << program << QStringList { "a.dll" } << QStringList { "a.dll", "new.dll" }
        << QStringList { "a.dll", "new.dll" };
    QTest::newRow("program package, none kept")
        << QStringList() << QStringList { "a.dll" } << QStringList { "a.dll" }
        << QStringList { "a.dll" };
    QTest::newRow("database package replaces a listed file")
        << program << QStringList { "lib/shared.db", "db.txt" } << QStringList()
        << QStringList { "a.dll", "lib/b.dll" };
    QTest::newRow("as Windows names it") << program << QStringList { "LIB/Shared.DB" }
                                         << QStringList() << QStringList { "a.dll", "lib/b.dll" };
    QTest::newRow("database package of other files")
        << program << QStringList { "db.txt", "lib/other.db" } << QStringList() << QStringList();
    QTest::newRow("nothing kept") << QStringList() << QStringList { "a.dll" } << QStringList()
                                  << QStringList();
}

void KeptIndexTest::afterInstallation()
{
    QFETCH(QStringList, kept);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, package);
    QFETCH(QStringList, after);
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    if (!kept.isEmpty()) {
        QFile file(appDir.filePath(QLatin1String(keptIndexName)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(indexListing(kept));
    }
    QVector<InstallAction> plan;
    plan.append({ InstallAction::MakeDirectory, "update/lib/", appDir.filePath("lib") });
    for (const QString& target : installed)
        plan.append({ InstallAction::InstallFile, "update/" + target, appDir.filePath(target) });
    plan.append({ InstallAction::DropConfig, "update/Config.ini", QString() });
    const QByteArray text = keptIndexAfter(
        plan, appDir.path(), package.isEmpty() ? QByteArray() : indexListing(package));
    QCOMPARE(text.isEmpty() ? QStringList() : listedPaths(text), after);
}

void KeptIndexTest::stepJoinsThePlan()
{
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    QVERIFY(QDir(appDir.path()).mkpath("update"));
    const QString downloadDir = appDir.filePath("update");
    QVector<InstallAction> plan { { InstallAction::InstallFile, downloadDir + "/a.dll",
        appDir.filePath("a.dll") } };
    QCOMPARE(addKeptIndexStep(&plan, appDir.path(), downloadDir, QByteArray()), QString());
    QCOMPARE(plan.size(), 1);
    const QByteArray package = indexListing({ "a.dll" });
    QCOMPARE(addKeptIndexStep(&plan, appDir.path(), downloadDir, package), QString());
    QCOMPARE(plan.size(), 2);
    QCOMPARE(plan[1].kind, InstallAction::InstallFile);
    QCOMPARE(plan[1].target, appDir.filePath(QLatin1String(keptIndexName)));
    QFile staged(plan[1].source);
    QVERIFY(staged.open(QIODevice::ReadOnly));
    QCOMPARE(staged.readAll(), package);
    QVERIFY(plan[1].source.startsWith(downloadDir + "/"));
    // Where the index cannot be written, the installation does not start.
    QVector<InstallAction> other;
    QVERIFY(addKeptIndexStep(&other, appDir.path(), appDir.filePath("missing"), package)
                .contains("cannot be written"));
    QVERIFY(other.isEmpty());
}

QTEST_GUILESS_MAIN(KeptIndexTest)
#include "tst_keptindex.moc"
