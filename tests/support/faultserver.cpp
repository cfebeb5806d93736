#include "faultserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

// A client that stops reading must not make an endless body fill the memory.
static const qint64 endlessBacklogBytes = 256 * 1024;
static const qint64 endlessDefaultPiece = 16 * 1024;

struct FaultServer::Connection {
    QTcpSocket* socket = nullptr;
    QTimer* timer = nullptr;
    QByteArray input;
    bool requestRead = false;
    bool closedByUs = false;
    int requestIndex = -1;
    Behaviour behaviour;
    qint64 sent = 0; // body payload bytes written
    qint64 limit = 0; // body payload bytes to write in all; -1 without end
};

QList<QByteArray> FaultServer::Request::headerValues(const QByteArray& name) const
{
    QList<QByteArray> values;
    for (const Header& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            values.append(header.second);
    }
    return values;
}

static QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 416:
        return "Range Not Satisfiable";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

FaultServer::Behaviour FaultServer::ok(const QByteArray& body, const QByteArray& contentType)
{
    Behaviour behaviour;
    behaviour.body = body;
    behaviour.headers.append(FaultServer::Header("Content-Type", contentType));
    return behaviour;
}

FaultServer::Behaviour FaultServer::withoutLength(const QByteArray& body)
{
    Behaviour behaviour = ok(body);
    behaviour.framing = Framing::CloseDelimited;
    return behaviour;
}

FaultServer::Behaviour FaultServer::chunked(const QByteArray& body, qint64 bytesPerChunk)
{
    Behaviour behaviour = ok(body);
    behaviour.framing = Framing::Chunked;
    behaviour.bytesPerTick = bytesPerChunk;
    behaviour.intervalMs = 1;
    return behaviour;
}

FaultServer::Behaviour FaultServer::silent()
{
    Behaviour behaviour;
    behaviour.respond = false;
    return behaviour;
}

FaultServer::Behaviour FaultServer::stallAfterHeaders(qint64 declaredLength)
{
    Behaviour behaviour = ok(QByteArray());
    behaviour.declaredLength = declaredLength;
    behaviour.stallAfterBytes = 0;
    return behaviour;
}

FaultServer::Behaviour FaultServer::trickle(
    const QByteArray& body, qint64 bytesPerTick, int intervalMs)
{
    Behaviour behaviour = ok(body);
    behaviour.bytesPerTick = bytesPerTick;
    behaviour.intervalMs = intervalMs;
    return behaviour;
}

FaultServer::Behaviour FaultServer::closeAfter(const QByteArray& body, qint64 bytes)
{
    Behaviour behaviour = ok(body);
    behaviour.closeAfterBytes = bytes;
    return behaviour;
}

FaultServer::Behaviour FaultServer::serverError(const QByteArray& body)
{
    Behaviour behaviour = ok(body, "text/html; charset=utf-8");
    behaviour.status = 500;
    return behaviour;
}

FaultServer::Behaviour FaultServer::redirect(const QByteArray& location, int status)
{
    Behaviour behaviour = ok(QByteArray(), "text/html");
    behaviour.status = status;
    behaviour.headers.append(FaultServer::Header("Location", location));
    return behaviour;
}

FaultServer::Behaviour FaultServer::htmlPage(const QByteArray& html)
{
    return ok(html, "text/html; charset=utf-8");
}

FaultServer::Behaviour FaultServer::endless(qint64 bytesPerTick, int intervalMs)
{
    Behaviour behaviour = withoutLength(QByteArray());
    behaviour.endless = true;
    behaviour.bytesPerTick = bytesPerTick;
    behaviour.intervalMs = intervalMs;
    return behaviour;
}

FaultServer::Behaviour FaultServer::notFound()
{
    Behaviour behaviour = ok("not found\n", "text/plain");
    behaviour.status = 404;
    return behaviour;
}

FaultServer::Behaviour FaultServer::rangeable(const QByteArray& body)
{
    Behaviour behaviour = ok(body);
    behaviour.ranges = true;
    behaviour.etag = '"' + QByteArray::number(qHash(body), 16) + '-'
        + QByteArray::number(body.size(), 16) + '"';
    return behaviour;
}

// The part of the body a range request gets, as nginx answers it.
static FaultServer::Behaviour answerRange(
    FaultServer::Behaviour behaviour, const FaultServer::Request& request)
{
    const qint64 size = behaviour.body.size();
    if (!behaviour.etag.isEmpty())
        behaviour.headers.append(FaultServer::Header("ETag", behaviour.etag));
    if (behaviour.ranges)
        behaviour.headers.append(FaultServer::Header("Accept-Ranges", "bytes"));
    qint64 start = 0;
    const QByteArray range = request.headerValues("Range").value(0).trimmed();
    const QList<QByteArray> ifRange = request.headerValues("If-Range");
    const bool current = ifRange.isEmpty() || ifRange.first().trimmed() == behaviour.etag;
    const QList<QByteArray> ends = range.mid(6).split('-');
    if (behaviour.ranges && current && range.startsWith("bytes=") && ends.size() == 2) {
        bool ok = false;
        bool lastOk = true;
        start = ends.at(0).toLongLong(&ok);
        const bool bounded = !ends.at(1).isEmpty();
        const qint64 asked = bounded ? ends.at(1).toLongLong(&lastOk) : size - 1;
        const qint64 last = qMin(asked, size - 1);
        // A range that cannot be read is ignored: the whole body.
        const bool valid = ok && lastOk && start >= 0 && asked >= start;
        if (!valid)
            start = 0;
        if (valid && start >= size) {
            behaviour.status = 416;
            behaviour.headers.append(
                FaultServer::Header("Content-Range", "bytes */" + QByteArray::number(size)));
            behaviour.body.clear();
            return behaviour;
        }
        if (valid && (start > 0 || bounded)) {
            const qint64 from = behaviour.wrongContentRange ? start / 2 : start;
            behaviour.status = 206;
            behaviour.headers.append(FaultServer::Header("Content-Range",
                "bytes " + QByteArray::number(from) + '-' + QByteArray::number(last) + '/'
                    + QByteArray::number(size)));
            behaviour.body = behaviour.body.mid(int(from), int(last - from + 1));
            start = from;
        }
    }
    if (behaviour.stallAtOffset >= 0 && start < behaviour.stallAtOffset)
        behaviour.stallAfterBytes = behaviour.stallAtOffset - start;
    return behaviour;
}

FaultServer::FaultServer(QObject* parent)
    : QObject(parent)
    , m_fallback(notFound())
{
    connect(&m_server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
}

FaultServer::~FaultServer()
{
    m_server.close();
    for (Connection* connection : qAsConst(m_connections)) {
        connection->socket->disconnect(this);
        connection->timer->stop();
        connection->socket->abort();
        delete connection;
    }
    m_connections.clear();
}

bool FaultServer::start() { return m_server.listen(QHostAddress::LocalHost, 0); }

quint16 FaultServer::port() const { return m_server.serverPort(); }

QString FaultServer::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

QString FaultServer::url(const QString& pathAndQuery) const { return baseUrl() + pathAndQuery; }

void FaultServer::setBehaviour(const QString& path, const Behaviour& behaviour)
{
    m_standing.insert(path, behaviour);
}

void FaultServer::queueBehaviour(const QString& path, const Behaviour& behaviour)
{
    m_queued[path].enqueue(behaviour);
}

void FaultServer::setFallback(const Behaviour& behaviour) { m_fallback = behaviour; }

QVector<FaultServer::Request> FaultServer::requestsFor(const QString& path) const
{
    QVector<Request> found;
    for (const Request& request : m_requests) {
        if (request.path == path)
            found.append(request);
    }
    return found;
}

int FaultServer::requestCount(const QString& path) const { return requestsFor(path).size(); }

int FaultServer::openConnections() const { return m_connections.size(); }

void FaultServer::dropAllConnections()
{
    const QList<Connection*> connections = m_connections;
    for (Connection* connection : connections) {
        connection->closedByUs = true;
        connection->socket->abort();
    }
}

FaultServer::Behaviour FaultServer::behaviourFor(const QString& path)
{
    auto queued = m_queued.find(path);
    if (queued != m_queued.end() && !queued->isEmpty())
        return queued->dequeue();
    return m_standing.value(path, m_fallback);
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_accepted;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* connection = new Connection;
        connection->socket = socket;
        connection->timer = new QTimer(socket);
        m_connections.append(connection);
        connect(
            socket, &QTcpSocket::readyRead, this, [this, connection] { onReadyRead(connection); });
        connect(socket, &QTcpSocket::disconnected, this,
            [this, connection] { onDisconnected(connection); });
        // Data may have come with the connection itself.
        if (socket->bytesAvailable() > 0)
            onReadyRead(connection);
    }
}

void FaultServer::onReadyRead(Connection* connection)
{
    const QByteArray data = connection->socket->readAll();
    if (connection->requestRead)
        return; // one request per connection; anything after it is ignored
    connection->input += data;

    const int headEnd = connection->input.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QList<QByteArray> lines = connection->input.left(headEnd).split('\n');
    Request request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    qint64 bodyLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const Header header { line.left(colon).trimmed(), line.mid(colon + 1).trimmed() };
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            bodyLength = header.second.toLongLong();
        request.headers.append(header);
    }
    if (connection->input.size() - (headEnd + 4) < bodyLength)
        return; // the request body is still on its way
    request.body = connection->input.mid(headEnd + 4, int(bodyLength));

    QByteArray rawPath = request.target;
    if (rawPath.startsWith("http://") || rawPath.startsWith("https://"))
        rawPath = QUrl::fromEncoded(rawPath).path(QUrl::FullyEncoded).toLatin1();
    rawPath = rawPath.left(rawPath.indexOf('?') < 0 ? rawPath.size() : rawPath.indexOf('?'));
    request.path = QUrl::fromPercentEncoding(rawPath);

    connection->requestRead = true;
    connection->requestIndex = m_requests.size();
    connection->behaviour = answerRange(behaviourFor(request.path), request);
    m_requests.append(request);
    emit requestReceived(request.path);
    beginResponse(connection);
}

void FaultServer::beginResponse(Connection* connection)
{
    const Behaviour& behaviour = connection->behaviour;
    if (!behaviour.respond)
        return; // silent: the client waits until it gives up
    if (behaviour.delayMs > 0) {
        connection->timer->setSingleShot(true);
        connect(connection->timer, &QTimer::timeout, this, [this, connection] {
            connection->timer->disconnect(this);
            sendHead(connection);
        });
        connection->timer->start(behaviour.delayMs);
        return;
    }
    sendHead(connection);
}

void FaultServer::sendHead(Connection* connection)
{
    const Behaviour& behaviour = connection->behaviour;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(behaviour.status) + ' '
        + (behaviour.reason.isEmpty() ? reasonPhrase(behaviour.status) : behaviour.reason) + "\r\n";
    for (const Header& header : behaviour.headers)
        head += header.first + ": " + header.second + "\r\n";
    switch (behaviour.framing) {
    case Framing::ContentLength:
        head += "Content-Length: "
            + QByteArray::number(
                behaviour.declaredLength >= 0 ? behaviour.declaredLength : behaviour.body.size())
            + "\r\n";
        break;
    case Framing::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case Framing::CloseDelimited:
        break;
    }
    head += "Connection: close\r\n\r\n";
    connection->socket->write(head);

    qint64 limit = behaviour.endless ? -1 : behaviour.body.size();
    if (m_requests.at(connection->requestIndex).method == "HEAD")
        limit = 0;
    for (const qint64 cut : { behaviour.stallAfterBytes, behaviour.closeAfterBytes }) {
        if (cut >= 0 && (limit < 0 || cut < limit))
            limit = cut;
    }
    connection->limit = limit;

    if (behaviour.bytesPerTick <= 0 && !behaviour.endless) {
        sendBody(connection);
        return;
    }
    connection->timer->setSingleShot(false);
    connect(
        connection->timer, &QTimer::timeout, this, [this, connection] { sendBody(connection); });
    connection->timer->start(qMax(1, behaviour.intervalMs));
}

void FaultServer::sendBody(Connection* connection)
{
    const Behaviour& behaviour = connection->behaviour;
    if (connection->limit >= 0 && connection->sent >= connection->limit) {
        finish(connection);
        return;
    }
    if (behaviour.endless && connection->socket->bytesToWrite() > endlessBacklogBytes)
        return;

    qint64 amount = behaviour.bytesPerTick > 0 ? behaviour.bytesPerTick
        : behaviour.endless                    ? endlessDefaultPiece
                                               : connection->limit - connection->sent;
    if (connection->limit >= 0)
        amount = qMin(amount, connection->limit - connection->sent);

    QByteArray piece;
    if (behaviour.endless) {
        const QByteArray pattern = behaviour.body.isEmpty() ? QByteArray("x") : behaviour.body;
        piece.reserve(int(amount));
        qint64 offset = connection->sent % pattern.size();
        while (piece.size() < amount) {
            const int take = int(qMin<qint64>(pattern.size() - offset, amount - piece.size()));
            piece.append(pattern.constData() + offset, take);
            offset = 0;
        }
    } else {
        piece = behaviour.body.mid(int(connection->sent), int(amount));
    }

    if (!piece.isEmpty()) {
        if (behaviour.framing == Framing::Chunked)
            connection->socket->write(
                QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
        else
            connection->socket->write(piece);
        connection->sent += piece.size();
        m_requests[connection->requestIndex].bodyBytesSent = connection->sent;
    }
    if (connection->limit >= 0 && connection->sent >= connection->limit)
        finish(connection);
}

void FaultServer::finish(Connection* connection)
{
    connection->timer->stop();
    const Behaviour& behaviour = connection->behaviour;
    const bool cut
        = behaviour.closeAfterBytes >= 0 && connection->sent >= behaviour.closeAfterBytes;
    const bool stall
        = !cut && behaviour.stallAfterBytes >= 0 && connection->sent >= behaviour.stallAfterBytes;
    if (stall)
        return; // headers and part of the body are out; the rest never comes
    if (!cut) {
        if (behaviour.framing == Framing::Chunked)
            connection->socket->write("0\r\n\r\n");
        m_requests[connection->requestIndex].responseComplete = true;
        emit responseComplete(m_requests.at(connection->requestIndex).path);
    }
    closeConnection(connection);
}

void FaultServer::closeConnection(Connection* connection)
{
    // Either call below may emit disconnected() at once, which frees the connection.
    connection->closedByUs = true;
    QTcpSocket* socket = connection->socket;
    if (!connection->behaviour.resetOnClose) {
        socket->disconnectFromHost();
        return;
    }
    socket->flush();
#ifdef Q_OS_UNIX
    // A zero linger time makes the close send RST instead of FIN.
    const struct linger immediate {
        1, 0
    };
    ::setsockopt(
        int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
#endif
    socket->abort();
}

void FaultServer::onDisconnected(Connection* connection)
{
    if (!m_connections.removeOne(connection))
        return;
    connection->timer->stop();
    connection->socket->disconnect(this);
    connection->timer->disconnect(this);
    connection->socket->deleteLater();
    if (!connection->closedByUs && connection->requestIndex >= 0) {
        Request& request = m_requests[connection->requestIndex];
        if (!request.responseComplete) {
            request.clientGone = true;
            const QString path = request.path;
            delete connection;
            emit clientGone(path);
            return;
        }
    }
    delete connection;
}
