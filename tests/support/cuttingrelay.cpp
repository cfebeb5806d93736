#include "cuttingrelay.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <functional>

namespace {

// Splits one direction of an HTTP/1.1 stream into heads, skipping bodies by their length.
class HeadReader {
public:
    // Called with each complete head (without the blank line); returns its body's length.
    using OnHead = std::function<qint64(const QByteArray& head)>;
    // Called with the number of body bytes that passed.
    using OnBody = std::function<void(qint64 bytes)>;

    void feed(QByteArray data, const OnHead& onHead, const OnBody& onBody)
    {
        while (!data.isEmpty()) {
            if (m_bodyLeft > 0) {
                const qint64 n = qMin<qint64>(m_bodyLeft, data.size());
                m_bodyLeft -= n;
                onBody(n);
                data = data.mid(int(n));
                continue;
            }
            m_buffer += data;
            data.clear();
            const int end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = m_buffer.left(end);
            data = m_buffer.mid(end + 4);
            m_buffer.clear();
            m_bodyLeft = onHead(head);
        }
    }

private:
    QByteArray m_buffer;
    qint64 m_bodyLeft = 0;
};

CuttingRelay::Head parseHead(const QByteArray& text, int connection)
{
    CuttingRelay::Head head;
    head.connection = connection;
    const QList<QByteArray> lines = text.split('\n');
    head.firstLine = lines.value(0).trimmed();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            head.headers.append(
                { lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed() });
    }
    return head;
}

} // namespace

struct CuttingRelay::Connection {
    int serial = 0;
    QPointer<QTcpSocket> client;
    QPointer<QTcpSocket> server;
    qint64 sentToClient = 0;
    bool ending = false;
    QByteArray waitingForServer; // request bytes that came before the server connection
    HeadReader requestReader;
    HeadReader responseReader;
    QList<int> unanswered; // indices in m_requests, oldest first
    int response = -1; // index in m_responses of the answer passing now
};

QByteArray CuttingRelay::Head::value(const QByteArray& name) const
{
    for (const Header& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

QByteArray CuttingRelay::Head::word(int index) const { return firstLine.split(' ').value(index); }

CuttingRelay::CuttingRelay(quint16 upstreamPort, QObject* parent)
    : QObject(parent)
    , m_upstreamPort(upstreamPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CuttingRelay::onNewConnection);
}

CuttingRelay::~CuttingRelay()
{
    for (Connection* connection : qAsConst(m_connections)) {
        for (QTcpSocket* socket : { connection->client.data(), connection->server.data() }) {
            if (socket) {
                socket->disconnect(this);
                socket->abort();
                delete socket;
            }
        }
        delete connection;
    }
}

bool CuttingRelay::start() { return m_server.listen(QHostAddress::LocalHost, 0); }

quint16 CuttingRelay::port() const { return m_server.serverPort(); }

QString CuttingRelay::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

void CuttingRelay::onNewConnection()
{
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        auto* c = new Connection;
        c->serial = ++m_accepted;
        c->client = client;
        c->server = new QTcpSocket(this);
        m_connections.append(c);
        connect(client, &QTcpSocket::readyRead, this, [this, c] { toServer(c); });
        connect(client, &QTcpSocket::disconnected, this, [this, c] { closeConnection(c); });
        connect(c->server, &QTcpSocket::connected, this, [c] {
            c->server->write(c->waitingForServer);
            c->waitingForServer.clear();
        });
        connect(c->server, &QTcpSocket::readyRead, this, [this, c] { toClient(c); });
        connect(c->server, &QTcpSocket::disconnected, this, [this, c] {
            toClient(c);
            closeConnection(c);
        });
        connect(c->server, &QAbstractSocket::errorOccurred, this,
            [this, c](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::RemoteHostClosedError)
                    closeConnection(c);
            });
        c->server->connectToHost(QHostAddress::LocalHost, m_upstreamPort);
    }
}

void CuttingRelay::toServer(Connection* c)
{
    if (c->ending)
        return;
    const QByteArray data = c->client->readAll();
    readRequestHeads(c, data);
    if (c->server->state() == QAbstractSocket::ConnectedState)
        c->server->write(data);
    else
        c->waitingForServer += data;
}

// Passes what the server sent, up to the cut.
void CuttingRelay::toClient(Connection* c)
{
    if (c->ending || !c->server)
        return;
    QByteArray data = c->server->readAll();
    if (m_cutEvery > 0)
        data.truncate(int(qMin<qint64>(data.size(), m_cutEvery - c->sentToClient)));
    c->client->write(data);
    c->sentToClient += data.size();
    m_bytesToClient += data.size();
    readResponseHeads(c, data);
    if (m_cutEvery > 0 && c->sentToClient >= m_cutEvery)
        cutConnection(c);
}

void CuttingRelay::readRequestHeads(Connection* c, const QByteArray& data)
{
    c->requestReader.feed(
        data,
        [this, c](const QByteArray& text) {
            m_requests.append(parseHead(text, c->serial));
            c->unanswered.append(m_requests.size() - 1);
            return m_requests.last().value("Content-Length").toLongLong();
        },
        [](qint64) {});
}

void CuttingRelay::readResponseHeads(Connection* c, const QByteArray& data)
{
    c->responseReader.feed(
        data,
        [this, c](const QByteArray& text) {
            m_responses.append(parseHead(text, c->serial));
            c->response = m_responses.size() - 1;
            Head& head = m_responses.last();
            head.bytesToClient = text.size() + 4;
            head.request = c->unanswered.isEmpty() ? -1 : c->unanswered.takeFirst();
            const QByteArray method = m_requests.value(head.request).word(0);
            const int status = head.word(1).toInt();
            if (method == "HEAD" || status < 200 || status == 204 || status == 304)
                return qint64(0);
            return head.value("Content-Length").toLongLong();
        },
        [this, c](qint64 bytes) { m_responses[c->response].bytesToClient += bytes; });
}

// The client keeps what passed before the cut (it is flushed, then the connection closes
// in order); the server's side is reset.
void CuttingRelay::cutConnection(Connection* c)
{
    ++m_cuts;
    closeConnection(c);
    emit cut(c->serial);
}

void CuttingRelay::closeConnection(Connection* c)
{
    if (c->ending)
        return;
    c->ending = true;
    if (c->server) {
        c->server->disconnect(this);
        c->server->abort();
        c->server->deleteLater();
    }
    if (c->client) {
        connect(c->client, &QTcpSocket::disconnected, c->client, &QObject::deleteLater);
        c->client->disconnectFromHost();
    }
}
