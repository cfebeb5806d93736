#include "request.h"
#include "configfile.h"
#include "debugtext.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

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
