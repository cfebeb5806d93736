#ifndef READAHEAD_H
#define READAHEAD_H

#include <QApplication>

class QNetworkReply;

// Most bytes of a reply that Qt's network thread reads ahead of the updater, so that memory
// stays flat whatever a package's size and however fast the link.
constexpr qint64 readAheadLimitBytes = 1024 * 1024;

// Puts `reply` under the limit, for the request and every redirect it follows.
void limitReadAhead(QNetworkReply* reply);

// The application object of the updater. Qt's network thread takes a reply's limit only
// once it has started the request, and on a kept-alive connection it sends the request and
// may read a fast server's whole answer before a limit set from this thread arrives. So
// the limit is also applied in the network thread itself, as each request starts there.
// Qt 5 passes the events of every thread through notify(), which makes that possible.
class ReadAheadLimitedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

#endif // READAHEAD_H
