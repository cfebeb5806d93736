// Whole runs of the real updater against nginx serving HTTPS on 127.0.0.1. A test CA is
// trusted for the updater alone: it runs in a private mount namespace in which a copy of
// /etc/ssl/certs that includes the CA is mounted over the real one, which stays untouched.

#include "appdir.h"
#include "nginxserver.h"
#include "reliability.h"

#include <QProcess>
#include <QtTest>

namespace {

const QString contact = QStringLiteral("客服电话 400-800-1234");
const QString certificateLine
    = QStringLiteral("^\\[UpdateTarvilDialog\\]:\\[ERROR\\]:certificate of 127\\.0\\.0\\.1: %1$");

// Runs openssl in `dir`; a QtTest check.
void openssl(const QString& dir, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    QVERIFY2(process.waitForFinished(60000) && process.exitCode() == 0,
        qPrintable(arguments.join(QLatin1Char(' ')) + QLatin1Char('\n')
            + QString::fromLocal8Bit(process.readAll())));
}

} // namespace

class TestHttps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void certificateDecidesWhatIsInstalled_data();
    void certificateDecidesWhatIsInstalled();
    void httpsNeverRedirectsToHttp();

private:
    void makeCa(const QString& name);
    void makeCertificate(const QString& name, const QString& ca, const QString& altName, int days);
    void makeTrustStore();
    RunOptions trustingTestCa() const;
    NginxServer::Options serving(const QString& certificate) const;
    void prepare(AppDir& app, const QString& apiUrl, const QString& packageUrl);
    QString pem(const QString& name) const { return m_pki.filePath(name + ".pem"); }

    QTemporaryDir m_pki;
    QTemporaryDir m_site;
};

void TestHttps::initTestCase()
{
    QVERIFY(m_pki.isValid() && m_site.isValid());
    QVERIFY2(QProcess::execute(QStringLiteral("unshare"), { "-m", "true" }) == 0,
        "a private mount namespace is needed to trust the test CA for the updater alone");
    makeCa(QStringLiteral("ca"));
    makeCa(QStringLiteral("stranger")); // a CA nobody trusts
    const QString ip = QStringLiteral("IP:127.0.0.1");
    makeCertificate(QStringLiteral("trusted"), QStringLiteral("ca"), ip, 2);
    makeCertificate(QStringLiteral("expired"), QStringLiteral("ca"), ip, -1);
    makeCertificate(QStringLiteral("wronghost"), QStringLiteral("ca"),
        QStringLiteral("DNS:elsewhere.example"), 2);
    makeCertificate(QStringLiteral("untrusted"), QStringLiteral("stranger"), ip, 2);
    makeTrustStore();

    Release release(m_site.path());
    QVERIFY(release.setProgramVersion("1.001"));
    QVERIFY(release.setDatabaseVersion("1.001"));
    QVERIFY(release.setProgramPackage({ ZipEntry::file(QStringLiteral("prog.txt"), "p1.001") }));
    QVERIFY(release.setDatabasePackage(
        QStringLiteral("1.001"), { ZipEntry::file(QStringLiteral("db1.txt"), "d1.001") }));
}

void TestHttps::makeCa(const QString& name)
{
    openssl(m_pki.path(),
        { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", name + ".key", "-out", name + ".pem", "-days", "2", "-subj",
            "/CN=UpdateTarvil test " + name });
}

// A server certificate for `altName` issued by `ca`; negative days: expired already.
void TestHttps::makeCertificate(
    const QString& name, const QString& ca, const QString& altName, int days)
{
    openssl(m_pki.path(),
        { "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
            name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name });
    QVERIFY(writeFileBytes(m_pki.filePath(name + ".ext"), "subjectAltName=" + altName.toUtf8()));
    openssl(m_pki.path(),
        { "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
            "-CAcreateserial", "-out", name + ".pem", "-days", QString::number(days), "-extfile",
            name + ".ext" });
}

// The machine's trusted certificates plus the test CA, hashed for OpenSSL's lookup.
void TestHttps::makeTrustStore()
{
    const QString store = m_pki.filePath(QStringLiteral("certs"));
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), { "-a", "/etc/ssl/certs", store }), 0);
    QVERIFY(QFile::copy(
        pem(QStringLiteral("ca")), store + QStringLiteral("/updatetarvil-test-ca.pem")));
    openssl(store, { "rehash", "." });
}

RunOptions TestHttps::trustingTestCa() const
{
    RunOptions options;
    options.wrapper = QStringList { "unshare", "-m", "sh", "-c",
        "mount --bind \"$1\" /etc/ssl/certs || exit 90; shift; exec \"$@\"", "sh",
        m_pki.filePath(QStringLiteral("certs")) };
    return options;
}

NginxServer::Options TestHttps::serving(const QString& certificate) const
{
    NginxServer::Options options;
    options.certificateFile = pem(certificate);
    options.keyFile = m_pki.filePath(certificate + ".key");
    return options;
}

void TestHttps::prepare(AppDir& app, const QString& apiUrl, const QString& packageUrl)
{
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(
        apiUrl, packageUrl, { { QStringLiteral("ContactUs/Contact1"), contact } }));
}

void TestHttps::certificateDecidesWhatIsInstalled_data()
{
    QTest::addColumn<QString>("apiCertificate");
    QTest::addColumn<QString>("packageCertificate");
    QTest::addColumn<QString>("reason"); // Qt's text in the certificate line; empty: none
    QTest::addColumn<QString>("failureLine"); // the failed request's line; empty: none
    QTest::addColumn<QStringList>("installed");

    const QString handshake
        = QStringLiteral("^error: %1$").arg(int(QNetworkReply::SslHandshakeFailedError));
    const QString expired = QStringLiteral("The certificate has expired");
    QTest::newRow("trusted certificate: the whole update")
        << "trusted"
        << "trusted" << QString() << QString() << QStringList { "prog.txt", "db1.txt" };
    QTest::newRow("issuer nobody trusts")
        << "untrusted"
        << "untrusted"
        << "The issuer certificate of a locally looked up certificate could not be found"
        << handshake << QStringList();
    QTest::newRow("expired certificate") << "expired"
                                         << "expired" << expired << handshake << QStringList();
    QTest::newRow("certificate for another host")
        << "wronghost"
        << "wronghost"
        << "The host name did not match any of the valid hosts for this certificate" << handshake
        << QStringList();
    // The questions get through; the package server's certificate stops the first package.
    QTest::newRow("package server with an expired certificate")
        << "trusted"
        << "expired" << expired
        << QStringLiteral("^\"1\\.001 download failed: error %1 .*\"$")
               .arg(int(QNetworkReply::SslHandshakeFailedError))
        << QStringList();
}

void TestHttps::certificateDecidesWhatIsInstalled()
{
    QFETCH(QString, apiCertificate);
    QFETCH(QString, packageCertificate);
    QFETCH(QString, reason);
    QFETCH(QString, failureLine);
    QFETCH(QStringList, installed);

    NginxServer api;
    QVERIFY2(api.start(m_site.path(), serving(apiCertificate)), qPrintable(api.errorString()));
    NginxServer packages;
    QVERIFY2(packages.start(m_site.path(), serving(packageCertificate)),
        qPrintable(packages.errorString()));
    QVERIFY(api.baseUrl().startsWith(QLatin1String("https://")));
    AppDir app;
    prepare(app, api.baseUrl(), packages.baseUrl());
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater(trustingTestCa());
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    const QString log = messages.join(QLatin1Char('\n'));
    const QString everyCertificateLine = certificateLine.arg(QStringLiteral(".*"));
    if (reason.isEmpty()) {
        QCOMPARE(indexOfMessage(messages, everyCertificateLine), -1);
    } else {
        // Logged once per refused handshake, with Qt's reason and the host: the package
        // server is asked for the program package's index, then for the whole package.
        const QString line = certificateLine.arg(QRegularExpression::escape(reason));
        QVERIFY2(indexOfMessage(messages, line) >= 0, qPrintable(log));
        QCOMPARE(messages.filter(QRegularExpression(line)).size(),
            apiCertificate == packageCertificate ? 1 : 2);
        QVERIFY2(indexOfMessage(messages, failureLine) >= 0, qPrintable(log));
    }
    const bool all = installed.size() == 2;
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), all ? "1.001" : "1.000");
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), all ? "1.001" : "1.000");
    for (const QString file : { "prog.txt", "db1.txt" })
        QCOMPARE(QFileInfo::exists(app.filePath(file)), installed.contains(file));
    if (!all)
        QCOMPARE(packages.requests().size(), 0);
}

// A secure API whose answers move to plain http: nothing is fetched over http.
void TestHttps::httpsNeverRedirectsToHttp()
{
    NginxServer plain;
    QVERIFY2(plain.start(m_site.path()), qPrintable(plain.errorString()));
    NginxServer::Options options = serving(QStringLiteral("trusted"));
    options.serverDirectives
        = QStringLiteral("        location ^~ /client/ver { return 301 %1$request_uri; }\n")
              .arg(plain.baseUrl());
    NginxServer api;
    QVERIFY2(api.start(m_site.path(), options), qPrintable(api.errorString()));
    AppDir app;
    prepare(app, api.baseUrl(), api.baseUrl());
    if (QTest::currentTestFailed())
        return;

    const UpdaterRun run = app.runUpdater(trustingTestCa());
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    const QStringList messages = app.logMessages();
    QVERIFY2(indexOfMessage(messages,
                 QStringLiteral("^error: %1$").arg(int(QNetworkReply::InsecureRedirectError)))
            >= 0,
        qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), QStringLiteral("1.000"));
    QCOMPARE(plain.requests().size(), 0);
    QCOMPARE(api.requestedPaths(), QStringList { Release::programVersionPath() });
}

QTEST_GUILESS_MAIN(TestHttps)

#include "tst_https.moc"
