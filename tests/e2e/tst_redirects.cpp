// Whole runs of the real updater against two nginx servers on 127.0.0.1, the first of which
// redirects: package and version paths that moved are followed, chains that are too long
// or loop fail with a log line and hand over.

#include "appdir.h"
#include "nginxserver.h"
#include "reliability.h"

#include <QtTest>

namespace {

const QString contact = QStringLiteral("客服电话 400-800-1234");

// Server-block directives that send `from` through `hops` redirects to `to` ("@BACK@"
// stands for the second server's base URL).
QString redirectChain(const QString& from, int hops, const QString& to)
{
    QString directives;
    QString current = from;
    for (int hop = 1; hop <= hops; ++hop) {
        const QString next = hop == hops ? to : QStringLiteral("/hop%1%2").arg(hop).arg(from);
        directives
            += QStringLiteral("        location = %1 { return 302 %2; }\n").arg(current, next);
        current = next;
    }
    return directives;
}

QString dllPackage(const QString& version) { return Release::databasePackagePath(version); }

} // namespace

class TestRedirects : public QObject {
    Q_OBJECT

private slots:
    void redirectedRunInstallsWhatFollowingAllows_data();
    void redirectedRunInstallsWhatFollowingAllows();

private:
    void publish(Release& release);
};

// Program 1.001 and database 1.001 and 1.002 over an installation at 1.000.
void TestRedirects::publish(Release& release)
{
    QVERIFY(release.setProgramVersion("1.001"));
    QVERIFY(release.setDatabaseVersion("1.002"));
    QVERIFY(release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.txt"), "p1.001") }));
    QVERIFY(release.setDatabasePackage(
        QStringLiteral("1.001"), { ZipEntry::file(QStringLiteral("db1.txt"), "d1.001") }));
    QVERIFY(release.setDatabasePackage(
        QStringLiteral("1.002"), { ZipEntry::file(QStringLiteral("db2.txt"), "d1.002") }));
}

void TestRedirects::redirectedRunInstallsWhatFollowingAllows_data()
{
    QTest::addColumn<QString>("directives"); // of the first server
    QTest::addColumn<QString>("expectedLine"); // a log message, as a regular expression
    QTest::addColumn<QString>("program"); // Version/PROGRAM afterwards
    QTest::addColumn<QString>("database"); // Version/DATABASE afterwards
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("servedByBack"); // paths the second server answered

    const QStringList all { "prog.txt", "db1.txt", "db2.txt" };
    const QString pq = Release::programVersionPath();
    const QString dq = Release::databaseVersionPath();
    const QString pp = Release::programPackagePath();
    const QString allDone = QStringLiteral("^writeIni Version/DATABASE .*\"1\\.002\"$");
    const QString tooMany
        = QStringLiteral("^error: %1$").arg(int(QNetworkReply::TooManyRedirectsError));

    // Object stores hand packages out from another host: every package is followed there.
    QTest::newRow("packages behind a 302 to another port")
        << QStringLiteral(
               "        location ^~ /client/program/ { return 302 @BACK@$request_uri; }\n"
               "        location ^~ /client/dll/ { return 302 @BACK@$request_uri; }\n")
        << allDone << "1.001"
        << "1.002" << all << QStringList { pp, dllPackage("1.001"), dllPackage("1.002") };
    // An object store: another name, a signature in the query; stored as asked for all the same.
    QTest::newRow("packages behind a 302 to signed object names")
        << QStringLiteral("        location ~ ^/client/dll/v(.+)\\.zip$ { return 302 "
                          "@BACK@/objects/$1?X-Signature=abc%2Fdef; }\n")
        << allDone << "1.001"
        << "1.002" << QStringList { "prog.txt", "db1.txt", "db2.txt" }
        << QStringList { "/objects/1.001?X-Signature=abc%2Fdef",
               "/objects/1.002?X-Signature=abc%2Fdef" };
    // An API that moved for good.
    QTest::newRow("version paths behind a 301 to another port")
        << QStringLiteral("        location ^~ /client/ver { return 301 @BACK@$request_uri; }\n")
        << allDone << "1.001"
        << "1.002" << all << QStringList { pq, dq };
    QTest::newRow("five hops are followed")
        << redirectChain(dq, 5, QStringLiteral("@BACK@") + dq) << allDone << "1.001"
        << "1.002" << all << QStringList { dq };
    QTest::newRow("six hops on the database question")
        << redirectChain(dq, 6, QStringLiteral("@BACK@") + dq) << tooMany << "1.001"
        << "1.000" << QStringList { "prog.txt" } << QStringList();
    QTest::newRow("loop on the program question")
        << QStringLiteral("        location = %1 { return 302 %1; }\n").arg(pq) << tooMany
        << "1.000"
        << "1.000" << QStringList() << QStringList();
    QTest::newRow("six hops on a package")
        << redirectChain(dllPackage("1.002"), 6, QStringLiteral("@BACK@") + dllPackage("1.002"))
        << QStringLiteral("^\"1\\.002 download failed: error %1 .*\"$")
               .arg(int(QNetworkReply::TooManyRedirectsError))
        << "1.001"
        << "1.001" << QStringList { "prog.txt", "db1.txt" } << QStringList();
    QTest::newRow("loop between two packages")
        << QStringLiteral("        location = %1 { return 302 %2; }\n"
                          "        location = %2 { return 302 %1; }\n")
               .arg(dllPackage("1.001"), dllPackage("1.002"))
        << QStringLiteral("^\"1\\.001 download failed: error %1 .*\"$")
               .arg(int(QNetworkReply::TooManyRedirectsError))
        << "1.001"
        << "1.000" << QStringList { "prog.txt" } << QStringList();
}

void TestRedirects::redirectedRunInstallsWhatFollowingAllows()
{
    QFETCH(QString, directives);
    QFETCH(QString, expectedLine);
    QFETCH(QString, program);
    QFETCH(QString, database);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, servedByBack);

    // Both serve the same tree; only the first redirects.
    ReleaseSite back;
    publish(back.release);
    NginxServer::Options objects;
    objects.serverDirectives = QStringLiteral(
        "        location ~ ^/objects/(.+)$ { alias \"%1/client/dll/v$1.zip\"; }\n")
                                   .arg(back.dir.path());
    QVERIFY2(back.start(objects), qPrintable(back.nginx.errorString()));
    NginxServer front;
    NginxServer::Options options;
    options.serverDirectives = directives.replace(QStringLiteral("@BACK@"), back.nginx.baseUrl());
    QVERIFY2(front.start(back.dir.path(), options), qPrintable(front.errorString()));
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(
        front.baseUrl(), QString(), { { QStringLiteral("ContactUs/Contact1"), contact } }));

    const UpdaterRun run = app.runUpdater();
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    QVERIFY2(
        indexOfMessage(messages, expectedLine) >= 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), program);
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), database);
    for (const QString file : { "prog.txt", "db1.txt", "db2.txt" })
        QCOMPARE(QFileInfo::exists(app.filePath(file)), installed.contains(file));
    QStringList served;
    for (const ServedRequest& request : back.nginx.requests()) {
        if (request.status == 200)
            served.append(request.path);
    }
    QCOMPARE(served, servedByBack);
}

QTEST_GUILESS_MAIN(TestRedirects)

#include "tst_redirects.moc"
