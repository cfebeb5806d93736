#ifndef READAHEAD_H
#define READAHEAD_H

#include <QApplication>
#include <QNetworkAccessManager>

// Most bytes of a reply that Qt's network thread reads ahead of the updater, so that memory
// stays flat whatever a package's size and however fast the link.
constexpr qint64 readAheadLimitBytes = 1024 * 1024;

// Puts `reply` under the limit, for the request and every redirect it follows.
void limitReadAhead(QNetworkReply* reply);

// A network access manager that puts every reply it creates under the limit.
class ReadAheadLimitedManager : public QNetworkAccessManager {
protected:
    QNetworkReply* createRequest(
        Operation operation, const QNetworkRequest& request, QIODevice* outgoingData) override;
};

// The application object of the updater. Qt's network thread takes a reply's limit only
// once it has started the request, and on a kept-alive connection it sends the request and
// may read a fast server's whole answer before a limit set from this thread arrives. So
// the limit is also applied in the network thread itself, as each request starts there.
// Qt 5 passes the events of every thread through notify(), which makes that possible.
// Every reply must then be under the limit on this side as well (ReadAheadLimitedManager),
// since only such a reply tells the network thread when it has read its data.
class ReadAheadLimitedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

#endif // READAHEAD_H
