// What scripts/build-windows.sh leaves in dist/: the program with its icon and version
// resource, and every DLL that anything there imports.
#include "wineapp.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

static QString run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Wine also ships some DLLs that Windows lacks and the MinGW runtime provides (zlib1.dll).
static bool fromMinGw(const QString& dll)
{
    return QFileInfo::exists(QStringLiteral("/usr/x86_64-w64-mingw32/lib/") + dll)
        || QFileInfo::exists(QStringLiteral("/usr/lib/gcc/x86_64-w64-mingw32/12-posix/") + dll);
}

static QString dist() { return WineApp::windowsBuild() + QStringLiteral("/dist"); }

class TestWindowsBuild : public QObject {
    Q_OBJECT

private slots:
    void iconAndVersionResourceAreEmbedded();
    void everyImportedDllIsInTheFolder();
};

void TestWindowsBuild::iconAndVersionResourceAreEmbedded()
{
    const QString resources = run(QStringLiteral("x86_64-w64-mingw32-windres"),
        { QStringLiteral("-i"), dist() + QStringLiteral("/UpdateTarvil.exe"), QStringLiteral("-O"),
            QStringLiteral("rc") });
    QVERIFY2(!resources.isEmpty(), "windres read no resources from UpdateTarvil.exe");
    // The icon group: one frame for each size from 16 to 256 (written as 0) pixels.
    QVERIFY(resources.contains(QStringLiteral("\"IDI_ICON1\" 14 /* RT_GROUP_ICON */")));
    QVERIFY(resources.contains(QStringLiteral("Has 7 elements")));
    for (const char* side : { "\\020\\020", "\\030\\030", "\\040\\040", "\\060\\060", "\\100\\100",
             "\\200\\200", "\\000\\000" })
        QVERIFY2(resources.contains(QStringLiteral("\"%1\\000\\000\", 1, 32").arg(side)), side);
    QVERIFY(resources.contains(QStringLiteral("1 VERSIONINFO")));
    QVERIFY(resources.contains(QStringLiteral("FILEVERSION 1, 0, 0, 0")));
    QVERIFY(resources.contains(QStringLiteral("VALUE \"OriginalFilename\", \"UpdateTarvil.exe\"")));
}

// Windows looks for a program's DLLs beside it: each one imported must be there, or be one
// of Windows' own.
void TestWindowsBuild::everyImportedDllIsInTheFolder()
{
    QSet<QString> present;
    QStringList binaries;
    QDirIterator it(dist(), { QStringLiteral("*.dll"), QStringLiteral("*.exe") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        binaries << it.next();
        if (QFileInfo(it.filePath()).dir() == QDir(dist()))
            present << it.fileName().toLower();
    }
    QVERIFY(present.contains(QStringLiteral("libssl-3-x64.dll")));
    QVERIFY(present.contains(QStringLiteral("libcrypto-3-x64.dll")));
    QVERIFY(QFileInfo::exists(dist() + QStringLiteral("/platforms/qwindows.dll")));
    QVERIFY(QFileInfo::exists(dist() + QStringLiteral("/imageformats/qjpeg.dll")));
    const QDir windowsDlls(QStringLiteral("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"));
    static const QRegularExpression dllName(QStringLiteral("DLL Name: (\\S+)"));
    for (const QString& binary : binaries) {
        const QString imports
            = run(QStringLiteral("x86_64-w64-mingw32-objdump"), { QStringLiteral("-p"), binary });
        QVERIFY2(imports.contains(QStringLiteral("DLL Name:")), qPrintable(binary));
        auto matches = dllName.globalMatch(imports);
        while (matches.hasNext()) {
            const QString name = matches.next().captured(1).toLower();
            QVERIFY2(present.contains(name) || (windowsDlls.exists(name) && !fromMinGw(name)),
                qPrintable(binary + QStringLiteral(" imports ") + name));
        }
    }
}

QTEST_GUILESS_MAIN(TestWindowsBuild)
#include "tst_windowsbuild.moc"
