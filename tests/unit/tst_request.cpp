// Unit tests of what every request of the updater carries, and of the log messages of
// certificate errors.

#include "readahead.h"
#include "request.h"

#include <QNetworkProxy>
#include <QNetworkReply>

#include <QSslCertificate>
#include <QtTest>

class TestRequest : public QObject {
    Q_OBJECT

private slots:
    void redirectsAreFollowedButNeverDowngraded_data();
    void redirectsAreFollowedButNeverDowngraded();
    void certificateErrorNamesReasonAndHost();
    void everyReplyOfTheManagerIsReadAheadLimited();
    void proxyRefusalSaysWhetherCredentialsWereGiven_data();
    void proxyRefusalSaysWhetherCredentialsWereGiven();
};

void TestRequest::redirectsAreFollowedButNeverDowngraded_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("http version question") << QUrl("http://127.0.0.1:8080/client/verDll.php");
    QTest::newRow("https package") << QUrl("https://cdn.example/client/dll/v1.001.zip");
}

void TestRequest::redirectsAreFollowedButNeverDowngraded()
{
    QFETCH(QUrl, url);
    const QNetworkRequest request = makeRequest(url);
    QCOMPARE(request.url(), url);
    QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
        int(QNetworkRequest::NoLessSafeRedirectPolicy));
    QCOMPARE(request.maximumRedirectsAllowed(), 5);
    QVERIFY(request.transferTimeout() > 0);
}

void TestRequest::certificateErrorNamesReasonAndHost()
{
    const QList<QSslError> errors { QSslError(QSslError::CertificateExpired),
        QSslError(QSslError::HostNameMismatch) };
    const QStringList messages = certificateErrorMessages(QStringLiteral("cdn.example"), errors);
    QCOMPARE(messages,
        QStringList({ QStringLiteral("[UpdateTarvilDialog]:[ERROR]:certificate of cdn.example: %1")
                          .arg(errors.at(0).errorString()),
            QStringLiteral("[UpdateTarvilDialog]:[ERROR]:certificate of cdn.example: %1")
                .arg(errors.at(1).errorString()) }));
    QVERIFY(messages.at(0).contains(QLatin1String("expired")));
}

// A reply without the limit on this side would never release Qt's network thread, which the
// application holds to the limit for every request.
void TestRequest::everyReplyOfTheManagerIsReadAheadLimited()
{
    ReadAheadLimitedManager manager;
    QNetworkReply* get = manager.get(makeRequest(QUrl("http://127.0.0.1:1/client/verDll.php")));
    QNetworkReply* head = manager.head(QNetworkRequest(QUrl("http://127.0.0.1:1/")));
    QCOMPARE(get->readBufferSize(), readAheadLimitBytes);
    QCOMPARE(head->readBufferSize(), readAheadLimitBytes);
    QTRY_VERIFY(get->isFinished() && head->isFinished());
    delete get;
    delete head;
}

void TestRequest::proxyRefusalSaysWhetherCredentialsWereGiven_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none configured")
        << QString()
        << QStringLiteral("[UpdateTarvilDialog]:[ERROR]:proxy proxy.school.test:3128 asks for a "
                          "user name and password, and none is configured (407): the request "
                          "is not sent");
    QTest::newRow("refused") << QStringLiteral("student")
                             << QStringLiteral("[UpdateTarvilDialog]:[ERROR]:proxy "
                                               "proxy.school.test:3128 refused the user name and "
                                               "password configured for it (407): the request "
                                               "is not sent");
}

// The one line a 407 leaves in the log: which proxy, and whether it had credentials to refuse.
void TestRequest::proxyRefusalSaysWhetherCredentialsWereGiven()
{
    QFETCH(QString, user);
    QFETCH(QString, expected);
    const QNetworkProxy proxy(QNetworkProxy::HttpProxy, QStringLiteral("proxy.school.test"), 3128,
        user, user.isEmpty() ? QString() : QStringLiteral("secret"));
    QCOMPARE(proxyRefusalMessage(proxy), expected);
}

QTEST_GUILESS_MAIN(TestRequest)

#include "tst_request.moc"
