#include "request.h"
#include "configfile.h"

QNetworkRequest makeRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    // An inactivity limit: a server that accepts and then stays silent ends the request.
    request.setTransferTimeout(requestTimeoutMs());
    return request;
}
