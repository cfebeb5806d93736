#include "installrule.h"

#include <QSet>
#include <QtTest>

// The download directory the updater extracts into, below the application directory.
static const QString downloadDir = QStringLiteral("update");

// Renders a plan as "install <src> -> <target>", "mkdir <dir>" or "drop <src>", sources
// relative to the download directory and targets relative to the application directory
// ("." for the application directory itself). A path outside either stays absolute, so
// a target that escapes shows up in the comparison.
static QStringList render(const QVector<InstallAction>& plan, const QString& appDir)
{
    const QString sourcePrefix = appDir + QLatin1Char('/') + downloadDir + QLatin1Char('/');
    const QString targetPrefix = appDir + QLatin1Char('/');
    const auto source = [&](const QString& path) {
        return path.startsWith(sourcePrefix) ? path.mid(sourcePrefix.size()) : path;
    };
    const auto target = [&](const QString& path) {
        if (path == appDir || path == targetPrefix)
            return QStringLiteral(".");
        return path.startsWith(targetPrefix) ? path.mid(targetPrefix.size()) : path;
    };
    QStringList lines;
    for (const InstallAction& action : plan) {
        switch (action.kind) {
        case InstallAction::DropConfig:
            lines << QStringLiteral("drop %1").arg(source(action.source));
            break;
        case InstallAction::MakeDirectory:
            lines << QStringLiteral("mkdir %1").arg(target(action.target));
            break;
        case InstallAction::InstallFile:
            lines << QStringLiteral("install %1 -> %2")
                         .arg(source(action.source), target(action.target));
            break;
        }
    }
    return lines;
}

class InstallRuleTest : public QObject {
    Q_OBJECT

private slots:
    void planFollowsArchiveOrder_data();
    void planFollowsArchiveOrder();
    void entryName_data();
    void entryName();
};

void InstallRuleTest::planFollowsArchiveOrder_data()
{
    QTest::addColumn<QString>("appDir");
    // Entry names inside the archive, in archive order.
    QTest::addColumn<QStringList>("entries");
    // Directories that exist directly in the application directory before installing.
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("expected");

    const QString windowsApp = QStringLiteral("C:/Apps/Orbelan");
    const QString unixApp = QStringLiteral("/tmp/Apps/Orbelan");

    QTest::newRow("worked example")
        << windowsApp << QStringList { "Orbelan.exe", "lib/", "lib/a.dll", "Config.ini" }
        << QStringList()
        << QStringList { "install Orbelan.exe -> Orbelan.exe", "mkdir lib",
               "install lib/a.dll -> lib/a.dll", "drop Config.ini" };

    QTest::newRow("files without directory entries land in the application directory")
        << windowsApp << QStringList { "a.dll", "sub/b.dll", "x/y/c.dat" } << QStringList()
        << QStringList { "install a.dll -> a.dll", "install sub/b.dll -> b.dll",
               "install x/y/c.dat -> c.dat" };

    QTest::newRow("nested directory entries are flattened")
        << windowsApp << QStringList { "a/", "a/b/", "a/b/f.dll" } << QStringList()
        << QStringList { "mkdir a", "mkdir b", "install a/b/f.dll -> b/f.dll" };

    QTest::newRow("last part of a deep directory entry names the directory")
        << windowsApp << QStringList { "lib/plugins/", "lib/plugins/p.dll" } << QStringList()
        << QStringList { "mkdir plugins", "install lib/plugins/p.dll -> plugins/p.dll" };

    QTest::newRow("top-level file whose path contains the directory name goes into it")
        << windowsApp << QStringList { "data/", "metadata.xml" } << QStringList()
        << QStringList { "mkdir data", "install metadata.xml -> data/metadata.xml" };

    QTest::newRow("file outside the directory stays in the application directory")
        << windowsApp << QStringList { "lib/", "lib/a.dll", "b.dll" } << QStringList()
        << QStringList { "mkdir lib", "install lib/a.dll -> lib/a.dll", "install b.dll -> b.dll" };

    QTest::newRow("a later directory entry replaces the earlier one")
        << windowsApp << QStringList { "lib/", "plugins/", "lib/a.dll", "plugins/p.dll" }
        << QStringList()
        << QStringList { "mkdir lib", "mkdir plugins", "install lib/a.dll -> a.dll",
               "install plugins/p.dll -> plugins/p.dll" };

    QTest::newRow("file entry named like an existing directory makes no junk directory")
        << windowsApp << QStringList { "lib", "lib/a.dll" } << QStringList { "lib" }
        << QStringList { "mkdir lib", "install lib/a.dll -> lib/a.dll" };

    QTest::newRow("nested file entry named like an existing directory")
        << windowsApp << QStringList { "x/lib", "x/lib.dll" } << QStringList { "lib" }
        << QStringList { "mkdir lib", "install x/lib.dll -> lib/lib.dll" };

    QTest::newRow("file entry named like a directory that does not exist is installed")
        << windowsApp << QStringList { "lib" } << QStringList { "other" }
        << QStringList { "install lib -> lib" };

    QTest::newRow("file entry named like a directory the package made")
        << windowsApp << QStringList { "a/", "x/a" } << QStringList()
        << QStringList { "mkdir a", "mkdir a" };

    QTest::newRow("backslash separates the name only")
        << windowsApp << QStringList { "lib\\a.dll" } << QStringList()
        << QStringList { "install lib\\a.dll -> a.dll" };

    QTest::newRow("backslash path after a directory entry")
        << windowsApp << QStringList { "lib/", "lib\\a.dll" } << QStringList()
        << QStringList { "mkdir lib", "install lib\\a.dll -> lib/a.dll" };

    // Windows tools write "\\" between parts: a directory named "a\\b" would be nobody's.
    QTest::newRow("directory rules split at backslash too")
        << windowsApp << QStringList { "a\\b/", "a\\b/c.dll" } << QStringList()
        << QStringList { "mkdir b", "install a\\b/c.dll -> b/c.dll" };

    QTest::newRow("every path containing Config.ini is dropped, the rest installed")
        << windowsApp
        << QStringList { "Config.ini.bak", "Config.ini/", "Config.ini/x.dll", "sub/Config.ini",
               "Config.ini", "config.ini", "a.dll" }
        << QStringList()
        << QStringList { "drop Config.ini.bak", "drop Config.ini/", "drop Config.ini/x.dll",
               "drop sub/Config.ini", "drop Config.ini", "install config.ini -> config.ini",
               "install a.dll -> a.dll" };

    QTest::newRow("dropped Config.ini directory does not change the current directory")
        << windowsApp << QStringList { "lib/", "Config.ini/", "lib/a.dll" } << QStringList()
        << QStringList { "mkdir lib", "drop Config.ini/", "install lib/a.dll -> lib/a.dll" };

    QTest::newRow("directory named like a part of the application path draws nothing")
        << unixApp << QStringList { "Apps/", "x.dll", "Apps/y.dll" } << QStringList()
        << QStringList { "mkdir Apps", "install x.dll -> x.dll",
               "install Apps/y.dll -> Apps/y.dll" };

    QTest::newRow("directory named like the application directory draws nothing")
        << unixApp << QStringList { "Orbelan/", "a.dll" } << QStringList()
        << QStringList { "mkdir Orbelan", "install a.dll -> a.dll" };

    QTest::newRow("archive directory update/ names no directory")
        << unixApp << QStringList { "update/", "update/x.dll", "y.dll" } << QStringList()
        << QStringList { "mkdir .", "install update/x.dll -> x.dll", "install y.dll -> y.dll" };

    QTest::newRow("directory below an archive directory update/")
        << unixApp << QStringList { "update/lib/", "update/lib/a.dll" } << QStringList()
        << QStringList { "mkdir lib", "install update/lib/a.dll -> lib/a.dll" };

    QTest::newRow("directory name is matched as a substring of the path")
        << windowsApp << QStringList { "a/", "data.bin" } << QStringList()
        << QStringList { "mkdir a", "install data.bin -> a/data.bin" };
}

void InstallRuleTest::planFollowsArchiveOrder()
{
    QFETCH(QString, appDir);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, expected);

    QStringList extracted;
    for (const QString& entry : entries)
        extracted << appDir + QLatin1Char('/') + downloadDir + QLatin1Char('/') + entry;

    QSet<QString> directories { appDir, appDir + QLatin1Char('/'),
        appDir + QLatin1Char('/') + downloadDir };
    for (const QString& dir : existingDirs)
        directories << appDir + QLatin1Char('/') + dir;
    for (const QString& path : extracted) {
        if (path.endsWith(QLatin1Char('/')))
            directories << path << path.chopped(1);
    }
    const auto isDirectory = [&](const QString& path) { return directories.contains(path); };

    const QVector<InstallAction> plan
        = planInstallation(extracted, appDir, downloadDir, isDirectory);
    QCOMPARE(render(plan, appDir), expected);
    // One action per extracted path, each naming the path it was made for.
    QCOMPARE(plan.size(), extracted.size());
    for (int i = 0; i < plan.size(); ++i)
        QCOMPARE(plan.at(i).source, extracted.at(i));
}

void InstallRuleTest::entryName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    QTest::newRow("file") << "C:/Apps/Orbelan/update/Orbelan.exe"
                          << "Orbelan.exe";
    QTest::newRow("file in a directory") << "C:/Apps/Orbelan/update/lib/a.dll"
                                         << "a.dll";
    QTest::newRow("directory entry") << "C:/Apps/Orbelan/update/lib/"
                                     << "";
    QTest::newRow("backslash") << "C:/Apps/Orbelan/update/lib\\a.dll"
                               << "a.dll";
    QTest::newRow("mixed separators") << "/tmp/update/a\\b/c\\d.dll"
                                      << "d.dll";
    QTest::newRow("trailing backslash") << "/tmp/update/lib\\"
                                        << "";
    QTest::newRow("bare name") << "plain"
                               << "plain";
    QTest::newRow("empty") << ""
                           << "";
}

void InstallRuleTest::entryName()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(::entryName(path), name);
}

QTEST_GUILESS_MAIN(InstallRuleTest)
#include "tst_installrule.moc"
