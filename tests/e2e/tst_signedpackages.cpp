// Whole runs of an updater built to trust the test signing key, against nginx: signed
// packages install; a package whose signature does not hold is refused before anything of
// it is extracted, nothing is recorded and the old main program is started once. And the
// build without keys installs unsigned packages as before.

#include "appdir.h"
#include "faultserver.h"
#include "nginxserver.h"
#include "signing.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString handOverLine = QStringLiteral("\"Orbelan.exe\"");
const QString v1001 = QStringLiteral("1.001");
const QString v1002 = QStringLiteral("1.002");

QString signaturePath(const QString& packagePath)
{
    return packagePath + QStringLiteral(".minisig");
}

QString packageFileName(const QString& packagePath) { return QFileInfo(packagePath).fileName(); }

QStringList listing(const QString& dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Signs a package of the release as the publishing tool does, for `version`.
void signPackage(Release& release, const QString& packagePath, const QString& version,
    const SigningKey& key = testSigningKey(), bool legacy = false)
{
    QString error;
    QVERIFY2(
        minisignFile(release.filePath(packagePath), key,
            { packageComment(packageFileName(packagePath), version), legacy, QString() }, &error),
        qPrintable(error));
}

// The first message `expected` matches is followed at once by the hand-over.
void verifyHandOverRightAfter(const QStringList& messages, const QString& expected)
{
    int found = -1;
    for (int i = 0; i < messages.size() && found < 0; ++i) {
        if (messageMatches(messages.at(i), expected))
            found = i;
    }
    QVERIFY2(found > 0, qPrintable(expected + QStringLiteral(" not in:\n") + messages.join('\n')));
    QCOMPARE(messages.value(found + 1), handOverLine);
}

} // namespace

class TestSignedPackages : public QObject {
    Q_OBJECT

private slots:
    void signedProgramAndDatabaseChainInstalls();
    void packageWithFailingSignatureIsRefused_data();
    void packageWithFailingSignatureIsRefused();
    void buildWithoutKeysInstallsUnsignedPackages();

private:
    void prepare(ReleaseSite& site, AppDir& app, const QString& packageBase = QString(),
        const AppDir::Values& extra = AppDir::Values());
};

void TestSignedPackages::prepare(
    ReleaseSite& site, AppDir& app, const QString& packageBase, const AppDir::Values& extra)
{
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl(), packageBase, extra));
}

void TestSignedPackages::signedProgramAndDatabaseChainInstalls()
{
    ReleaseSite site;
    Release& release = site.release;
    QVERIFY(release.setProgramVersion("1.002"));
    QVERIFY(release.setDatabaseVersion("1.002"));
    QVERIFY(
        release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.txt"), "program 1.002") }));
    signPackage(release, Release::programPackagePath(), v1002);
    for (const QString& version : { v1001, v1002 }) {
        const QString path = Release::databasePackagePath(version);
        QVERIFY(release.setDatabasePackage(version,
            { ZipEntry::file(QStringLiteral("db%1.txt").arg(version), version.toUtf8()) }));
        signPackage(release, path, version);
    }
    AppDir app(QStringLiteral(UPDATER_TESTKEY_BINARY));
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(readAll(app.filePath(QStringLiteral("prog.txt"))), QByteArray("program 1.002"));
    QCOMPARE(readAll(app.filePath(QStringLiteral("db1.001.txt"))), QByteArray("1.001"));
    QCOMPARE(readAll(app.filePath(QStringLiteral("db1.002.txt"))), QByteArray("1.002"));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1002);
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), v1002);
    // Each signature is fetched right after its package, before the next request.
    const QString program = Release::programPackagePath();
    const QString db1 = Release::databasePackagePath(v1001);
    const QString db2 = Release::databasePackagePath(v1002);
    // The program package's index (not published here) is asked for before the package.
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), program + QStringLiteral(".index"), program,
            signaturePath(program), Release::databaseVersionPath(), db1, signaturePath(db1), db2,
            signaturePath(db2) }));
    QStringList verified;
    for (const QString& message : app.debugMessages()) {
        if (message.contains(QLatin1String("signature verified")))
            verified.append(message);
    }
    QCOMPARE(verified,
        QStringList({ "\"1.002 signature verified\"", "\"1.001 signature verified\"",
            "\"1.002 signature verified\"" }));
    for (const QString& message : app.logMessages()) {
        QVERIFY2(!message.contains(QLatin1String("refused")), qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("not verified")), qPrintable(message));
    }
}

void TestSignedPackages::packageWithFailingSignatureIsRefused_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<bool>("programStep"); // otherwise the first of two database packages
    QTest::addColumn<QString>("expectedLine"); // ends in "*" to match by prefix

    QTest::newRow("tampered package")
        << "tampered" << false << "\"1.001 signature refused: signature mismatch\"";
    QTest::newRow("package signed by another key")
        << "foreign key" << false << "\"1.001 signature refused: unknown key *";
    QTest::newRow("genuine older program package served as the newest")
        << "replay" << true << "\"1.002 signature refused: wrong version: 1.001\"";
    QTest::newRow("database signature for another file")
        << "other file" << false << "\"1.001 signature refused: wrong file: v1.002.zip\"";
    QTest::newRow("missing signature (404)")
        << "missing" << false << "\"1.001 signature refused: no signature file: HTTP status 404\"";
    QTest::newRow("garbage signature")
        << "garbage" << false << "\"1.001 signature refused: malformed signature file\"";
    QTest::newRow("legacy signature")
        << "legacy" << true << "\"1.002 signature refused: legacy signature\"";
    QTest::newRow("endless signature")
        << "endless" << false
        << "\"1.001 signature refused: signature file larger than 4096 bytes\"";
    QTest::newRow("signature server silent")
        << "silent" << false << "\"1.001 signature refused: no signature file: error 5 *";
}

// A genuine release: program 1.002 (programStep) or database 1.001 and 1.002, all signed,
// every package but the second database one carrying an evil.dll.
static void publishGenuine(Release& release, bool programStep, const QString& attack)
{
    QVERIFY(release.setProgramVersion(programStep ? "1.002" : "1.000"));
    QVERIFY(release.setDatabaseVersion(programStep ? "1.000" : "1.002"));
    const QVector<ZipEntry> evil { ZipEntry::file(QStringLiteral("evil.dll"), "evil") };
    QVERIFY(release.setProgramPackage(evil));
    // The replayed program package is a genuine one of an older version.
    signPackage(release, Release::programPackagePath(),
        attack == QLatin1String("replay") ? v1001 : v1002, testSigningKey(),
        attack == QLatin1String("legacy"));
    QVERIFY(release.setDatabasePackage(v1001, evil));
    QVERIFY(release.setDatabasePackage(v1002, { ZipEntry::file(QStringLiteral("db2.txt")) }));
    signPackage(release, Release::databasePackagePath(v1001), v1001);
    signPackage(release, Release::databasePackagePath(v1002), v1002);
}

// What the attacker changes on the static server, at database 1.001.
static void attackDatabasePackage(Release& release, const QString& attack, const QString& keyDir)
{
    const QString db1 = Release::databasePackagePath(v1001);
    const QString db2 = Release::databasePackagePath(v1002);
    if (attack == QLatin1String("tampered")) {
        QVERIFY(release.setDatabasePackage(v1001,
            { ZipEntry::file(QStringLiteral("evil.dll"), "more evil"),
                ZipEntry::file(QStringLiteral("db1.txt")) }));
    } else if (attack == QLatin1String("foreign key")) {
        SigningKey foreign;
        QVERIFY(generateSigningKey(keyDir, &foreign));
        signPackage(release, db1, v1001, foreign);
    } else if (attack == QLatin1String("other file")) {
        QVERIFY(release.setFile(db1, readAll(release.filePath(db2))));
        QVERIFY(release.setFile(signaturePath(db1), readAll(release.filePath(signaturePath(db2)))));
    } else if (attack == QLatin1String("missing")) {
        QVERIFY(release.remove(signaturePath(db1)));
    } else if (attack == QLatin1String("garbage")) {
        QVERIFY(release.setFile(
            signaturePath(db1), "<html><body>Welcome to the hotel Wi-Fi</body></html>"));
    }
}

// The faults a static server cannot produce: database 1.001 from a scripted package server
// whose signature answer never ends or never comes. False when the attack needs none.
static bool scriptSignatureFault(FaultServer& server, const Release& release, const QString& attack)
{
    if (attack != QLatin1String("endless") && attack != QLatin1String("silent"))
        return false;
    const QString db1 = Release::databasePackagePath(v1001);
    if (!server.start())
        return false;
    server.setBehaviour(db1, FaultServer::ok(readAll(release.filePath(db1))));
    server.setBehaviour(signaturePath(db1),
        attack == QLatin1String("endless") ? FaultServer::endless(16 * 1024, 1)
                                           : FaultServer::silent());
    return true;
}

// Nothing of the refused package in the application directory, nothing recorded, and
// nothing requested after its signature. QtTest checks.
static void verifyNothingInstalled(
    const AppDir& app, const QStringList& appBefore, const QStringList& requested, bool programStep)
{
    QStringList appAfter = listing(app.path());
    for (const QString& own : runArtefacts())
        appAfter.removeAll(own);
    QStringList expectedApp = appBefore;
    expectedApp.removeAll(QStringLiteral("update"));
    QCOMPARE(appAfter, expectedApp);
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
    const QString package
        = programStep ? Release::programPackagePath() : Release::databasePackagePath(v1001);
    QStringList expectedPaths { Release::programVersionPath() };
    if (!programStep)
        expectedPaths.append(Release::databaseVersionPath());
    else
        expectedPaths.append(package + QStringLiteral(".index"));
    expectedPaths << package << signaturePath(package);
    QCOMPARE(requested, expectedPaths);
    for (const QString& message : app.debugMessages())
        QVERIFY2(!message.startsWith(QLatin1String("writeIni")), qPrintable(message));
}

void TestSignedPackages::packageWithFailingSignatureIsRefused()
{
    QFETCH(QString, attack);
    QFETCH(bool, programStep);
    QFETCH(QString, expectedLine);

    ReleaseSite site;
    publishGenuine(site.release, programStep, attack);
    QTemporaryDir keyDir;
    attackDatabasePackage(site.release, attack, keyDir.path());
    FaultServer packageServer;
    const bool scripted = scriptSignatureFault(packageServer, site.release, attack);
    AppDir app(QStringLiteral(UPDATER_TESTKEY_BINARY));
    prepare(site, app, scripted ? packageServer.baseUrl() : QString(),
        { { QStringLiteral("Server/TimeoutMs"), QStringLiteral("1500") } });
    if (QTest::currentTestFailed())
        return;
    const QStringList appBefore = listing(app.path());

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    QStringList requested = site.nginx.requestedPaths();
    for (const FaultServer::Request& request : packageServer.requests())
        requested.append(request.path);
    verifyNothingInstalled(app, appBefore, requested, programStep);
    verifyHandOverRightAfter(app.debugMessages(), expectedLine);
}

void TestSignedPackages::buildWithoutKeysInstallsUnsignedPackages()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(
        v1001, { ZipEntry::file(QStringLiteral("db1.txt"), "unsigned") }));
    AppDir app;
    prepare(site, app);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(readAll(app.filePath(QStringLiteral("db1.txt"))), QByteArray("unsigned"));
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), v1001);
    QCOMPARE(site.nginx.requestedPaths(),
        QStringList({ Release::programVersionPath(), Release::databaseVersionPath(),
            Release::databasePackagePath(v1001) }));
    int notices = 0;
    for (const LogLine& line : app.logLines()) {
        if (line.message.startsWith(QLatin1String("packages are not verified")))
            notices += line.label == QLatin1String("Warning:") ? 1 : 100;
    }
    QCOMPARE(notices, 1);
}

QTEST_MAIN(TestSignedPackages)
#include "tst_signedpackages.moc"
