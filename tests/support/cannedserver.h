#ifndef CANNEDSERVER_H
#define CANNEDSERVER_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// Answers every request with one canned response, then hangs up or stays silent, for
// transfers nginx would not produce; with an empty response and no hang-up it never
// answers at all.
class CannedServer : public QTcpServer {
public:
    QByteArray response;
    bool closeAfterResponse = true;
    QList<QTcpSocket*> sockets; // every connection accepted, in order

    // Listens on 127.0.0.1, on a free port.
    bool start();
    // "http://127.0.0.1:PORT", without a trailing slash.
    QString baseUrl() const;

protected:
    void incomingConnection(qintptr descriptor) override;
};

#endif // CANNEDSERVER_H
