#ifndef REQUEST_H
#define REQUEST_H

#include <QList>
#include <QNetworkRequest>
#include <QSslError>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkProxy;

// Every request the updater sends is formed here, so that what holds for all of them (the
// inactivity limit, the redirect policy, bodies without content coding) is decided in one
// place.
QNetworkRequest makeRequest(const QUrl& url);

// One log message per certificate error: Qt's reason and the host it was met at.
QStringList certificateErrorMessages(const QString& host, const QList<QSslError>& errors);

// Logs every certificate error the manager meets. None is ignored: the request fails
// with the handshake and the run goes on as after any failed request.
void logCertificateErrors(QNetworkAccessManager* manager);

// Why a proxy that asks for a password (407) refused the request: the updater has no way to
// ask the user for one, so the request fails with Qt's error and the run goes on.
QString proxyRefusalMessage(const QNetworkProxy& proxy);

// Logs that message once per proxy the manager meets.
void logProxyRefusals(QNetworkAccessManager* manager);

#endif // REQUEST_H
