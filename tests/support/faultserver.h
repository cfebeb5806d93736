#ifndef FAULTSERVER_H
#define FAULTSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <QVector>

class QTcpSocket;

// An HTTP/1.1 server on 127.0.0.1 whose answer to each path is scripted, including the
// faults a real network produces: silence, stalls, trickles, cut connections, resets and
// bodies that never end. Everything runs on the caller's event loop (sockets and timers,
// no threads), so it serves this process inside QSignalSpy::wait or QTRY_* as well as a
// separate process while the test spins the loop. Every response closes its connection.
class FaultServer : public QObject {
    Q_OBJECT

public:
    using Header = QPair<QByteArray, QByteArray>;

    // How the end of the body is marked.
    enum class Framing {
        ContentLength, // Content-Length header (the full body size unless declaredLength)
        CloseDelimited, // no length at all: the body ends when the connection closes
        Chunked, // Transfer-Encoding: chunked, one chunk per piece sent
    };

    // What the server does after reading a request.
    struct Behaviour {
        int status = 200;
        QByteArray reason; // derived from the status when empty
        QList<Header> headers; // sent as given, after the status line
        QByteArray body;
        Framing framing = Framing::ContentLength;
        qint64 declaredLength = -1; // Content-Length to announce; -1: body.size()

        bool respond = true; // false: read the request, then stay silent forever
        int delayMs = 0; // wait before the status line
        qint64 bytesPerTick = 0; // body pacing; 0 or less sends it all at once
        int intervalMs = 0; // time between paced pieces (the first comes after one interval)
        qint64 stallAfterBytes = -1; // stop sending after this many body bytes, keep it open
        qint64 closeAfterBytes = -1; // close the connection after this many body bytes
        bool resetOnClose = false; // close with a TCP reset instead of an orderly shutdown
        bool endless = false; // repeat the body (or filler) until the client goes away

        // Single ranges as nginx serves them: "Range: bytes=N-" gets a 206 with the rest and
        // "bytes=N-M" one with that part, each with its Content-Range, unless If-Range names
        // another validator (then the whole body); N at or past the end gets a 416. The cuts
        // and stalls above count in the response.
        bool ranges = false;
        QByteArray etag; // sent as ETag when not empty; If-Range must match it
        bool wrongContentRange = false; // a 206 that starts half-way before the asked offset
        qint64 stallAtOffset = -1; // stall once the package's own offset reaches this
    };

    // One request as it arrived, and what became of the answer.
    struct Request {
        QByteArray method;
        QByteArray target; // request target as sent, percent-encoding intact
        QString path; // decoded path of the target, without the query
        QList<Header> headers; // in arrival order, names as sent
        QByteArray body;
        qint64 bodyBytesSent = 0; // body payload bytes handed to the socket so far
        bool responseComplete = false; // the whole scripted response went out
        bool clientGone = false; // the client closed or reset before we were done

        // Values of every header with this name, compared case-insensitively.
        QList<QByteArray> headerValues(const QByteArray& name) const;
    };

    // Common behaviours.
    static Behaviour ok(const QByteArray& body,
        const QByteArray& contentType = QByteArrayLiteral("application/octet-stream"));
    static Behaviour withoutLength(const QByteArray& body);
    static Behaviour chunked(const QByteArray& body, qint64 bytesPerChunk);
    static Behaviour silent(); // stalls before sending anything
    static Behaviour stallAfterHeaders(qint64 declaredLength);
    static Behaviour trickle(const QByteArray& body, qint64 bytesPerTick, int intervalMs);
    static Behaviour closeAfter(const QByteArray& body, qint64 bytes);
    static Behaviour serverError(const QByteArray& body);
    static Behaviour redirect(const QByteArray& location, int status = 302);
    static Behaviour htmlPage(const QByteArray& html);
    static Behaviour endless(qint64 bytesPerTick, int intervalMs);
    static Behaviour notFound();
    // A package served with ranges and a strong ETag.
    static Behaviour rangeable(const QByteArray& body);

    explicit FaultServer(QObject* parent = nullptr);
    ~FaultServer() override;

    // Listens on 127.0.0.1 with a port of the system's choosing.
    bool start();
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    QString url(const QString& pathAndQuery) const;

    // The answer to every request for `path` (decoded, without query) from now on.
    void setBehaviour(const QString& path, const Behaviour& behaviour);
    // A one-off answer for the next request to `path`, used before the standing one.
    void queueBehaviour(const QString& path, const Behaviour& behaviour);
    // The answer to paths nobody scripted; 404 unless set.
    void setFallback(const Behaviour& behaviour);

    const QVector<Request>& requests() const { return m_requests; }
    QVector<Request> requestsFor(const QString& path) const;
    int requestCount(const QString& path) const;
    int connectionsAccepted() const { return m_accepted; }
    int openConnections() const;

    // Closes every connection at once, as a server that goes down.
    void dropAllConnections();

signals:
    void requestReceived(const QString& path);
    void responseComplete(const QString& path);
    void clientGone(const QString& path);

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection* connection);
    void onDisconnected(Connection* connection);
    void beginResponse(Connection* connection);
    void sendHead(Connection* connection);
    void sendBody(Connection* connection);
    void finish(Connection* connection);
    void closeConnection(Connection* connection);
    Behaviour behaviourFor(const QString& path);

    QTcpServer m_server;
    QHash<QString, Behaviour> m_standing;
    QHash<QString, QQueue<Behaviour>> m_queued;
    Behaviour m_fallback;
    QVector<Request> m_requests;
    QList<Connection*> m_connections;
    int m_accepted = 0;
};

#endif // FAULTSERVER_H
