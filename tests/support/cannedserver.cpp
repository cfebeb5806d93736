#include "cannedserver.h"

#include <QHostAddress>
#include <QTcpSocket>

bool CannedServer::start() { return listen(QHostAddress::LocalHost, 0); }

QString CannedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void CannedServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    sockets.append(socket);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (!socket->property("request").toByteArray().isEmpty())
            return;
        const QByteArray request = socket->property("buffer").toByteArray() + socket->readAll();
        socket->setProperty("buffer", request);
        if (!request.contains("\r\n\r\n"))
            return;
        socket->setProperty("request", request);
        socket->write(response);
        if (closeAfterResponse)
            socket->disconnectFromHost();
    });
}
