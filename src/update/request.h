#ifndef REQUEST_H
#define REQUEST_H

#include <QNetworkRequest>
#include <QUrl>

// Every request the updater sends is formed here, so that what holds for all of them (the
// inactivity limit, ...) is decided in one place.
QNetworkRequest makeRequest(const QUrl& url);

#endif // REQUEST_H
