// Whole runs of the real updater against nginx that show the far-away-link behaviour: the
// version questions and every package of a run travel on one kept-alive connection, and
// a large package on such a connection still streams with flat memory, redirect or not.

#include "appdir.h"
#include "nginxserver.h"

#include <QCryptographicHash>
#include <QtTest>

class TestConnectionReuse : public QObject {
    Q_OBJECT

private slots:
    void wholeRunTravelsOnOneConnection();
    void largePackageOnKeptAliveConnectionStaysFlat_data();
    void largePackageOnKeptAliveConnectionStaysFlat();

private:
    void prepare(ReleaseSite& site, AppDir& app, const NginxServer::Options& options);
};

void TestConnectionReuse::prepare(
    ReleaseSite& site, AppDir& app, const NginxServer::Options& options)
{
    QVERIFY2(site.start(options), qPrintable(site.nginx.errorString()));
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(site.nginx.baseUrl()));
}

// A new connection per package costs a round trip or more each on a long link.
void TestConnectionReuse::wholeRunTravelsOnOneConnection()
{
    const int packages = 6;
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.001"));
    QVERIFY(site.release.setDatabaseVersion(QByteArray("1.00") + QByteArray::number(packages)));
    QVERIFY(site.release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.txt"), "p") }));
    for (int i = 1; i <= packages; ++i) {
        const QString version = QStringLiteral("1.00%1").arg(i);
        QVERIFY(site.release.setDatabasePackage(
            version, { ZipEntry::file(QStringLiteral("db%1.txt").arg(i), version.toUtf8()) }));
    }
    AppDir app;
    prepare(site, app, NginxServer::Options());
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")),
        QStringLiteral("1.00%1").arg(packages));
    const QList<ServedRequest> requests = site.nginx.requests();
    // The program package's index, not published here, is asked for before the package.
    QCOMPARE(requests.size(), 4 + packages);
    for (const ServedRequest& request : requests) {
        QCOMPARE(
            request.status, request.path == Release::programPackagePath() + ".index" ? 404 : 200);
        QCOMPARE(request.connection, requests.first().connection);
    }
}

void TestConnectionReuse::largePackageOnKeptAliveConnectionStaysFlat_data()
{
    QTest::addColumn<bool>("redirected");
    QTest::newRow("asked for directly") << false;
    // A redirect starts a new request in Qt's network thread, which the limit must reach too.
    QTest::newRow("behind a 302 on the same server") << true;
}

void TestConnectionReuse::largePackageOnKeptAliveConnectionStaysFlat()
{
    QFETCH(bool, redirected);
    const qint64 size = qint64(105) * 1024 * 1024;
    const qint64 peakLimitKb = 80 * 1024;
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QByteArray md5;
    const QString stored = redirected
        ? QStringLiteral("store/object-1001")
        : Release::databasePackagePath(QStringLiteral("1.001")).mid(1);
    QVERIFY(
        writeLargeStoredZip(site.release.filePath(stored), QStringLiteral("big.bin"), size, &md5));
    NginxServer::Options options;
    if (redirected) {
        options.serverDirectives = QStringLiteral("        location = %1 { return 302 /%2; }\n")
                                       .arg(Release::databasePackagePath("1.001"), stored);
    }
    AppDir app;
    prepare(site, app, options);
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater(60000, true);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(fileMd5(app.filePath(QStringLiteral("big.bin"))), md5);
    const QList<ServedRequest> requests = site.nginx.requests();
    for (const ServedRequest& request : requests)
        QCOMPARE(request.connection, requests.first().connection);

    verifyPeakMemory(run, size, peakLimitKb);
}

QTEST_GUILESS_MAIN(TestConnectionReuse)

#include "tst_connectionreuse.moc"
