#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Follows the request heads and body lengths on one connection as the bytes
// arrive, so that a request the service would refuse anyway (a huge body, an
// endless head) is turned away before the HTTP server buffers all of it.
class RequestFramer
{
public:
    enum class Verdict {
        Pass,
        ExpectContinue, // a head asked for "100 Continue" and may have it
        HeadTooLarge,
        BodyTooLarge,
        LengthRequired, // a body of unknown length (chunked)
        BadRequest,     // a Content-Length that is no number
    };

    RequestFramer(qsizetype maxHeadBytes, qint64 maxBodyBytes);

    // The bytes that arrived since the last call. The first refusal wins and
    // ends the framing; later calls return it again.
    Verdict feed(QByteArrayView bytes);

    static bool isRefusal(Verdict verdict);
    // Of the last head seen, for the log and for how much to drain.
    QByteArray method() const { return m_method; }
    QByteArray target() const { return m_target; }
    qint64 bodyRemaining() const { return m_bodyRemaining; }

private:
    Verdict evaluateHead(QByteArrayView head, bool bodyFollows);
    // Keeps method and target; returns the version ("HTTP/1.1").
    QByteArray readRequestLine(QByteArrayView head);

    qsizetype m_maxHeadBytes;
    qint64 m_maxBodyBytes;
    QByteArray m_head;
    qint64 m_bodyRemaining = 0;
    Verdict m_refusal = Verdict::Pass;
    QByteArray m_method;
    QByteArray m_target;
};
