#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// The readiness probe asks for this path; it is left out of requests().
static const char probePath[] = "/__nginxserver_probe__";

quint16 pickFreePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

void openPathToOthers(const QString& path)
{
    QFileInfo info(QFileInfo(path).absoluteFilePath());
    while (true) {
        const QString current = info.absoluteFilePath();
        QFile::setPermissions(
            current, QFile::permissions(current) | QFile::ReadOther | QFile::ExeOther);
        if (info.isRoot() || current == QDir::rootPath())
            break;
        info = QFileInfo(info.absolutePath());
    }
}

NginxServer::~NginxServer() { stop(); }

bool NginxServer::start(const QString& rootDir, const Options& options)
{
    stop();
    if (!QFileInfo(binary()).isExecutable()) {
        m_error = QStringLiteral("%1 is not installed").arg(binary());
        return false;
    }
    openPathToOthers(rootDir);
    // Another process may take the port between picking and binding: pick again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce(rootDir, options))
            return true;
        stop();
    }
    return false;
}

bool NginxServer::startOnce(const QString& rootDir, const Options& options)
{
    m_port = pickFreePort();
    if (m_port == 0) {
        m_error = QStringLiteral("no free port on 127.0.0.1");
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    openPathToOthers(m_dir->path());
    if (!writeConfig(rootDir, options))
        return false;

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir->filePath(QStringLiteral("nginx.out")));
    m_process->start(binary(),
        { QStringLiteral("-p"), m_dir->path() + QLatin1Char('/'), QStringLiteral("-c"),
            m_dir->filePath(QStringLiteral("nginx.conf")), QStringLiteral("-e"),
            m_dir->filePath(QStringLiteral("error.log")) });
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("nginx did not start: %1").arg(m_process->errorString());
        return false;
    }
    return waitUntilAccepting(15000);
}

bool NginxServer::writeConfig(const QString& rootDir, const Options& options)
{
    const QString dir = m_dir->path();
    QString directives = options.serverDirectives;
    if (!options.slowPrefix.isEmpty()) {
        directives += QStringLiteral("        location ^~ %1 { limit_rate %2; }\n")
                          .arg(options.slowPrefix, options.limitRate);
    }
    m_https = !options.certificateFile.isEmpty();
    QString listen = QStringLiteral("127.0.0.1:%1").arg(m_port);
    if (m_https) {
        listen += QStringLiteral(" ssl;\n        ssl_certificate \"%1\";\n"
                                 "        ssl_certificate_key \"%2\"")
                      .arg(options.certificateFile, options.keyFile);
    }
    const QString config = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid \"%1/nginx.pid\";\n"
        "error_log \"%1/error.log\" warn;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "    log_format plain '$request_method $request_uri $status $body_bytes_sent $connection "
        "\"$http_content_type\"';\n"
        "    access_log \"%1/access.log\" plain;\n"
        "    client_body_temp_path \"%1/client_body\";\n"
        "    proxy_temp_path \"%1/proxy\";\n"
        "    fastcgi_temp_path \"%1/fastcgi\";\n"
        "    uwsgi_temp_path \"%1/uwsgi\";\n"
        "    scgi_temp_path \"%1/scgi\";\n"
        "    types { }\n"
        "    default_type application/octet-stream;\n"
        "    keepalive_timeout 5s;\n"
        "    server {\n"
        "        listen %2;\n"
        "        root \"%3\";\n"
        "        location / { }\n"
        "%4"
        "    }\n"
        "}\n")
                               .arg(dir, listen, QFileInfo(rootDir).absoluteFilePath(), directives);
    QFile file(m_dir->filePath(QStringLiteral("nginx.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(file.fileName());
        return false;
    }
    return true;
}

// Ready once our own nginx answers on the port: a connection alone could be another
// process that took the port first.
bool NginxServer::waitUntilAccepting(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running) {
            QFile log(m_dir->filePath(QStringLiteral("error.log")));
            log.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("nginx exited: %1").arg(QString::fromUtf8(log.readAll()));
            return false;
        }
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(500)) {
            socket.write(QByteArray("HEAD ") + probePath + " HTTP/1.0\r\n\r\n");
            QByteArray answer;
            while (socket.waitForReadyRead(1000))
                answer += socket.readAll();
            answer += socket.readAll();
            if (answer.contains("Server: nginx") && m_process->state() == QProcess::Running)
                return true;
        }
        QTest::qWait(20);
    }
    m_error = QStringLiteral("nginx did not answer on port %1").arg(m_port);
    return false;
}

void NginxServer::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
}

bool NginxServer::isRunning() const { return m_process && m_process->state() == QProcess::Running; }

QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_https ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port);
}

QList<ServedRequest> NginxServer::requests() const
{
    QList<ServedRequest> result;
    if (!m_dir)
        return result;
    QFile log(m_dir->filePath(QStringLiteral("access.log")));
    if (!log.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray& line : lines) {
        // METHOD URI STATUS BYTES CONNECTION "CONTENT-TYPE"
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 6)
            continue;
        ServedRequest request;
        request.method = QString::fromLatin1(fields.at(0));
        request.path = QString::fromLatin1(fields.at(1));
        request.status = fields.at(2).toInt();
        request.bytesSent = fields.at(3).toLongLong();
        request.connection = fields.at(4).toLongLong();
        int typeStart = 5;
        for (int i = 0; i < 5; ++i)
            typeStart += fields.at(i).size();
        QByteArray type = line.mid(typeStart);
        if (type.startsWith('"') && type.endsWith('"'))
            type = type.mid(1, type.size() - 2);
        request.contentType = QString::fromLatin1(type);
        if (request.path != QLatin1String(probePath))
            result.append(request);
    }
    return result;
}

QStringList NginxServer::requestedPaths() const
{
    QStringList paths;
    for (const ServedRequest& request : requests())
        paths.append(request.path);
    return paths;
}
