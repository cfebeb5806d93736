#include "cappedbody.h"

#include <QNetworkReply>

void CappedBody::reset(qint64 limit)
{
    m_bytes.clear();
    m_limit = limit;
    m_overLimit = false;
}

void CappedBody::take(QNetworkReply* reply)
{
    const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    m_bytes += reply->read(m_limit + 1 - m_bytes.size());
    if (declared > m_limit || m_bytes.size() > m_limit) {
        m_overLimit = true;
        reply->abort();
    }
}
