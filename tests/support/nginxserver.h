#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include "release.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// One request as the access log records it.
struct ServedRequest {
    QString method;
    QString path;
    int status = 0;
    qint64 bytesSent = 0;
    qint64 connection = 0; // nginx's serial number of the connection it came on
    QString contentType; // the request's Content-Type header, "-" when absent
};

// A real nginx serving a directory tree as static files on 127.0.0.1, for whole runs of
// the updater. Runs in the foreground as one process, so stopping it is one kill.
class NginxServer {
public:
    struct Options {
        // Requests whose path starts with this prefix are served at `limitRate`.
        QString slowPrefix;
        QString limitRate = QStringLiteral("100k");
        // Further directives of the server block, such as redirecting locations.
        QString serverDirectives;
        // PEM files of the server's certificate (chain) and key: set, it speaks HTTPS only.
        QString certificateFile;
        QString keyFile;
    };

    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool start(const QString& rootDir, const Options& options);
    bool start(const QString& rootDir) { return start(rootDir, Options()); }
    void stop();

    bool isRunning() const;
    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT" (https when serving a certificate), without a trailing slash.
    QString baseUrl() const;
    QString errorString() const { return m_error; }

    // Requests served so far, in the order nginx finished them.
    QList<ServedRequest> requests() const;
    QStringList requestedPaths() const;

    static QString binary() { return QStringLiteral("/usr/sbin/nginx"); }

private:
    bool startOnce(const QString& rootDir, const Options& options);
    bool writeConfig(const QString& rootDir, const Options& options);
    bool waitUntilAccepting(int timeoutMs);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    bool m_https = false;
    QString m_error;
};

// A release tree in a temporary directory and the nginx that serves it.
struct ReleaseSite {
    QTemporaryDir dir;
    Release release { dir.path() };
    NginxServer nginx;

    // See nginx.errorString() when it fails.
    bool start(const NginxServer::Options& options = NginxServer::Options())
    {
        return dir.isValid() && nginx.start(dir.path(), options);
    }
};

// A port on 127.0.0.1 that was free a moment ago: bound to port 0, read and released.
quint16 pickFreePort();

// Adds read and search permission for others on `path` and every parent directory,
// so that a server running under another user can reach it.
void openPathToOthers(const QString& path);

#endif // NGINXSERVER_H
