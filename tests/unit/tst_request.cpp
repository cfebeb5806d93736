// Unit tests of what every request of the updater carries, and of the log messages of
// certificate errors.

#include "request.h"

#include <QSslCertificate>
#include <QtTest>

class TestRequest : public QObject {
    Q_OBJECT

private slots:
    void redirectsAreFollowedButNeverDowngraded_data();
    void redirectsAreFollowedButNeverDowngraded();
    void certificateErrorNamesReasonAndHost();
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

QTEST_GUILESS_MAIN(TestRequest)

#include "tst_request.moc"
