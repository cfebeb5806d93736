#ifndef CAPPEDBODY_H
#define CAPPEDBODY_H

#include <QByteArray>
#include <QtGlobal>

class QNetworkReply;

// The body of a small reply (an index, a signature) read as it arrives, up to a limit: a
// reply that declares or brings more is aborted at once, so no server can fill memory.
class CappedBody {
public:
    // Starts over for a new reply of at most `limit` bytes.
    void reset(qint64 limit);
    // Takes what the reply has brought. Aborting finishes the reply before this returns.
    void take(QNetworkReply* reply);

    const QByteArray& bytes() const { return m_bytes; }
    bool overLimit() const { return m_overLimit; }
    qint64 limit() const { return m_limit; }

private:
    QByteArray m_bytes;
    qint64 m_limit = 0;
    bool m_overLimit = false;
};

#endif // CAPPEDBODY_H
