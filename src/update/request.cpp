#include "request.h"
#include "configfile.h"
#include "debugtext.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>

#include <memory>
#include <set>

// CDNs and object stores answer with a redirect; a chain longer than this is a loop.
static const int maxRedirects = 5;

QNetworkRequest makeRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    // An inactivity limit: a server that accepts and then stays silent ends the request.
    request.setTransferTimeout(requestTimeoutMs());
    // Followed on every request, but never from https down to plain http.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    // Qt asks for gzip on its own, and CDNs that compress answer a range request with the
    // whole file; every body the updater reads is taken as the server stores it.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    return request;
}

QStringList certificateErrorMessages(const QString& host, const QList<QSslError>& errors)
{
    QStringList messages;
    for (const QSslError& error : errors) {
        messages << escapedServerText(
            tagged(QStringLiteral("[ERROR]:certificate of %1: %2").arg(host, error.errorString())));
    }
    return messages;
}

void logCertificateErrors(QNetworkAccessManager* manager)
{
    QObject::connect(manager, &QNetworkAccessManager::sslErrors,
        [](QNetworkReply* reply, const QList<QSslError>& errors) {
            for (const QString& message : certificateErrorMessages(reply->url().host(), errors))
                qDebug().noquote() << message;
        });
}

QString proxyRefusalMessage(const QNetworkProxy& proxy)
{
    const QString where = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    const QString why = proxy.user().isEmpty()
        ? QStringLiteral("asks for a user name and password, and none is configured")
        : QStringLiteral("refused the user name and password configured for it");
    return escapedServerText(tagged(
        QStringLiteral("[ERROR]:proxy %1 %2 (407): the request is not sent").arg(where, why)));
}

void logProxyRefusals(QNetworkAccessManager* manager)
{
    // Qt asks again for each request; one line per proxy says it all.
    auto logged = std::make_shared<std::set<QString>>();
    QObject::connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired,
        [logged](const QNetworkProxy& proxy, QAuthenticator*) {
            const QString message = proxyRefusalMessage(proxy);
            if (logged->insert(message).second)
                qDebug().noquote() << message;
        });
}
