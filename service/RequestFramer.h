#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <deque>

// Follows the requests on one connection as their bytes arrive, before the
// HTTP server reads them: where each head and body ends, whether the client
// wants the connection closed after the answer, and which requests the
// service refuses from the head alone (their bodies are never buffered).
class RequestFramer
{
public:
    static constexpr int kPass = 0;

    RequestFramer(qsizetype maxHeadBytes, qint64 maxBodyBytes);

    // The bytes that arrived since the last call; what to answer at once, as
    // an HTTP status: kPass; 100 when a head asked for "100 Continue" and may
    // have it; or a refusal that ends the framing, returned again by later
    // calls: 400 (a Content-Length that is no number, or two that differ),
    // 411 (a body of unknown length: chunked, or a POST without a length),
    // 413 (a body too large), 431 (a head too large).
    int feed(QByteArrayView bytes);

    // Some bytes of a request have arrived, but not all of it.
    bool inRequest() const { return !m_head.isEmpty() || m_bodyRemaining > 0; }
    qint64 bodyRemaining() const { return m_bodyRemaining; }
    // Of the last whole head seen; empty while the next one is arriving.
    QByteArray method() const { return m_method; }
    QByteArray target() const { return m_target; }
    qint64 bodyLength() const { return m_bodyLength; }

    // Of the oldest whole request not yet answered: whether the connection
    // ends with its answer (HTTP/1.0, or "Connection: close").
    bool takeClosesAfterAnswer();

private:
    int evaluateHead(bool bodyFollows);

    qsizetype m_maxHeadBytes;
    qint64 m_maxBodyBytes;
    QByteArray m_head;
    qint64 m_bodyRemaining = 0;
    qint64 m_bodyLength = 0;
    bool m_closes = true; // of the last head
    std::deque<bool> m_whole;
    int m_refusal = kPass;
    QByteArray m_method;
    QByteArray m_target;
};
