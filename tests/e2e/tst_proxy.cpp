// A whole update run of the real updater through a real forward proxy (tinyproxy) named in
// the environment, as the system's proxy configuration: every request goes through it.
// Qt never sends requests for a loopback address through a proxy, so the servers are named
// by a host name that only the proxy resolves: it runs in a private mount namespace with
// its own /etc/hosts, and the machine's stays untouched.

#include "appdir.h"
#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

const QString serverHost = QStringLiteral("updates.test");

// tinyproxy in the foreground on a free port of 127.0.0.1, logging each request it forwards,
// with `serverHost` resolving to 127.0.0.1.
class TinyProxy {
public:
    ~TinyProxy() { stop(); }

    // `basicAuth`: "user password" when the proxy is to ask for them.
    bool start(const QString& basicAuth = QString())
    {
        if (!m_dir.isValid())
            return false;
        m_port = pickFreePort();
        // tinyproxy drops to nobody before it opens its log.
        openPathToOthers(m_dir.path());
        const QString log = m_dir.filePath(QStringLiteral("proxy.log"));
        if (!writeFileBytes(log, QByteArray())
            || !QFile::setPermissions(log, QFile::permissions(log) | QFile::WriteOther))
            return false;
        const QString config = QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 60\n"
                                              "LogFile \"%2\"\nLogLevel Info\nMaxClients 20\n"
                                              "Allow 127.0.0.1\nUser nobody\nGroup nogroup\n")
                                   .arg(m_port)
                                   .arg(log)
            + (basicAuth.isEmpty() ? QString() : QStringLiteral("BasicAuth %1\n").arg(basicAuth));
        const QString configFile = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
        const QString hosts = m_dir.filePath(QStringLiteral("hosts"));
        if (!writeFileBytes(configFile, config.toUtf8())
            || !writeFileBytes(hosts, "127.0.0.1 localhost " + serverHost.toUtf8() + '\n'))
            return false;
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(QStringLiteral("unshare"),
            { "-m", "sh", "-c", "mount --bind \"$1\" /etc/hosts && exec tinyproxy -d -c \"$2\"",
                "sh", hosts, configFile });
        return m_process->waitForStarted(10000) && waitUntilAccepting();
    }

    void stop()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            m_process->waitForFinished(5000);
        }
    }

    QString url(const QString& credentials = QString()) const
    {
        const QString user = credentials.isEmpty() ? QString() : credentials + QLatin1Char('@');
        return QStringLiteral("http://") + user + QStringLiteral("127.0.0.1:%1").arg(m_port);
    }

    // The absolute URLs of the GET requests it forwarded, in order (complete once stopped).
    QStringList forwardedUrls() const
    {
        const QString log = QString::fromUtf8(readFileBytes(m_dir.filePath("proxy.log")));
        static const QRegularExpression request(
            QStringLiteral("Request \\(.*\\): GET (\\S+) HTTP"));
        QStringList urls;
        auto it = request.globalMatch(log);
        while (it.hasNext())
            urls.append(it.next().captured(1));
        return urls;
    }

private:
    bool waitUntilAccepting()
    {
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(500))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// A run whose system proxy setting names `proxyUrl`, for every host.
RunOptions throughProxy(const QString& proxyUrl)
{
    RunOptions options;
    options.environment.insert(QStringLiteral("http_proxy"), proxyUrl);
    options.environment.insert(QStringLiteral("no_proxy"), QString());
    options.environment.insert(QStringLiteral("NO_PROXY"), QString());
    return options;
}

} // namespace

class TestProxy : public QObject {
    Q_OBJECT

private slots:
    void updateGoesThroughTheConfiguredProxy();
    void proxyThatAsksForAPasswordIsNamedInTheLog_data();
    void proxyThatAsksForAPasswordIsNamedInTheLog();
};

void TestProxy::updateGoesThroughTheConfiguredProxy()
{
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.001"));
    QVERIFY(site.release.setDatabaseVersion("1.002"));
    QVERIFY(site.release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.txt"), "p") }));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.001"), { ZipEntry::file(QStringLiteral("db1.txt"), "d1") }));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.002"), { ZipEntry::file(QStringLiteral("db2.txt"), "d2") }));
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    TinyProxy proxy;
    QVERIFY2(proxy.start(), "tinyproxy did not start");
    AppDir app;
    QVERIFY(app.isValid());
    const QString base = QStringLiteral("http://%1:%2").arg(serverHost).arg(site.nginx.port());
    QVERIFY(app.writeOldInstallationConfig(base));

    const UpdaterRun run = app.runUpdater(throughProxy(proxy.url()));
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(app.configValue(QStringLiteral("Version/PROGRAM")) == QStringLiteral("1.001"),
        app.logBytes(run.logOffset).constData());
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.002"));

    // The proxy forwarded every request nginx answered, and nothing else.
    const QStringList paths { Release::programVersionPath(),
        Release::programPackagePath() + QStringLiteral(".index"), Release::programPackagePath(),
        Release::databaseVersionPath(), Release::databasePackagePath(QStringLiteral("1.001")),
        Release::databasePackagePath(QStringLiteral("1.002")) };
    QCOMPARE(site.nginx.requestedPaths(), paths);
    QStringList urls;
    for (const QString& path : paths)
        urls.append(base + path);
    proxy.stop();
    QCOMPARE(proxy.forwardedUrls(), urls);
}

void TestProxy::proxyThatAsksForAPasswordIsNamedInTheLog_data()
{
    QTest::addColumn<QString>("credentials"); // user:password in the proxy setting
    QTest::addColumn<QString>("refusal"); // the log line's reason; empty: none, updated
    QTest::newRow("none configured")
        << QString() << QStringLiteral("asks for a user name and password, and none is configured");
    // (A wrong password gets a 401 from tinyproxy, not a 407: that reason is checked on
    // its own in tst_request.)
    QTest::newRow("right password") << QStringLiteral("student:s3cret") << QString();
}

// A proxy answering 407 fails every request; the log says why, once, and the run hands over.
void TestProxy::proxyThatAsksForAPasswordIsNamedInTheLog()
{
    QFETCH(QString, credentials);
    QFETCH(QString, refusal);
    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion("1.000"));
    QVERIFY(site.release.setDatabaseVersion("1.001"));
    QVERIFY(site.release.setDatabasePackage(
        QStringLiteral("1.001"), { ZipEntry::file(QStringLiteral("db1.txt"), "d1") }));
    QVERIFY2(site.start(), qPrintable(site.nginx.errorString()));
    TinyProxy proxy;
    QVERIFY2(proxy.start(QStringLiteral("student s3cret")), "tinyproxy did not start");
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(
        QStringLiteral("http://%1:%2").arg(serverHost).arg(site.nginx.port())));

    const UpdaterRun run = app.runUpdater(throughProxy(proxy.url(credentials)));
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList refusals
        = app.logMessages(run.logOffset).filter(QStringLiteral("(407): the request is not sent"));
    if (refusal.isEmpty()) {
        QVERIFY2(refusals.isEmpty(), qPrintable(refusals.join(QLatin1Char('\n'))));
        QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.001"));
        return;
    }
    QVERIFY2(refusals.size() == 1, app.logBytes(run.logOffset).constData());
    QVERIFY2(
        refusals.first().contains(QStringLiteral("proxy 127.0.0.1:%1 %2")
                                      .arg(QString::number(QUrl(proxy.url()).port()), refusal)),
        qPrintable(refusals.first()));
    QVERIFY(site.nginx.requestedPaths().isEmpty());
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));
}

QTEST_GUILESS_MAIN(TestProxy)

#include "tst_proxy.moc"
