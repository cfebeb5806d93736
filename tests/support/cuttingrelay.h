#ifndef CUTTINGRELAY_H
#define CUTTINGRELAY_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A TCP relay on 127.0.0.1 in front of a real HTTP server (nginx), for whole runs across a
// link that drops: every connection is closed towards the client once `cutEvery` bytes went
// from the server to the client on it. The count is per connection and covers everything
// on the wire (status lines and headers too), so a cut falls wherever the bytes put it, as a
// real link would, and a connection kept alive across several requests is cut just the same.
// The server's side of a cut connection is reset, and what it sent past the cut is dropped.
//
// It also reads the HTTP heads going both ways (bodies are skipped by Content-Length; the
// server must not use chunked framing, which nginx does not for static files), so a test
// can check which requests and answers made the transfer work. Runs on the caller's event
// loop (no threads), like FaultServer: it serves a separate updater process while the test
// waits in AppDir::runUpdater.
class CuttingRelay : public QObject {
    Q_OBJECT

public:
    using Header = QPair<QByteArray, QByteArray>;

    // One request or response head as it passed, and for a response the bytes of it
    // (head and body) that reached the client before the connection ended or was cut.
    struct Head {
        QByteArray firstLine; // "GET /path HTTP/1.1" or "HTTP/1.1 206 Partial Content"
        QList<Header> headers;
        int connection = 0; // serial number of the relayed connection, from 1
        int request = -1; // responses only: index in requests() of the request it answers
        qint64 bytesToClient = 0; // responses only

        // The first header with this name (case-insensitive), or a null array.
        QByteArray value(const QByteArray& name) const;
        // Second word of the first line: the path of a request, the status of a response.
        QByteArray word(int index) const;
    };

    explicit CuttingRelay(quint16 upstreamPort, QObject* parent = nullptr);
    ~CuttingRelay() override;

    bool start();
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"

    // Bytes from the server to the client after which each connection is cut; 0: never.
    void setCutEvery(qint64 bytes) { m_cutEvery = bytes; }

    qint64 bytesToClient() const { return m_bytesToClient; }
    int connectionsAccepted() const { return m_accepted; }
    int cuts() const { return m_cuts; }
    const QList<Head>& requests() const { return m_requests; }
    const QList<Head>& responses() const { return m_responses; }

signals:
    // A connection was just cut: its client has the bytes up to the cut, nothing more.
    void cut(int connection);

private:
    struct Connection;

    void onNewConnection();
    void toServer(Connection* connection);
    void toClient(Connection* connection);
    void readRequestHeads(Connection* connection, const QByteArray& data);
    void readResponseHeads(Connection* connection, const QByteArray& data);
    void cutConnection(Connection* connection);
    void closeConnection(Connection* connection);

    QTcpServer m_server;
    quint16 m_upstreamPort;
    qint64 m_cutEvery = 0;
    qint64 m_bytesToClient = 0;
    int m_accepted = 0;
    int m_cuts = 0;
    QList<Head> m_requests;
    QList<Head> m_responses;
    QList<Connection*> m_connections;
};

#endif // CUTTINGRELAY_H
