#include "RequestFramer.h"

#include <QList>

#include <algorithm>

namespace {

constexpr qsizetype kMaxLengthDigits = 15;

// Just past the blank line that ends a head (CR LF CR LF, or bare line feeds); -1 if not there yet.
// "GET / HTTP/1.1\r\n\r\nrest" -> 18
qsizetype headEnd(QByteArrayView head, qsizetype from)
{
    for (qsizetype at = head.indexOf('\n', from); at >= 0; at = head.indexOf('\n', at + 1)) {
        const QByteArrayView after = head.sliced(at + 1);
        if (after.startsWith('\n'))
            return at + 2;
        if (after.startsWith("\r\n"))
            return at + 3;
    }
    return -1;
}

bool isDigits(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

RequestFramer::RequestFramer(qsizetype maxHeadBytes, qint64 maxBodyBytes)
    : m_maxHeadBytes(maxHeadBytes)
    , m_maxBodyBytes(maxBodyBytes)
{
}

bool RequestFramer::takeClosesAfterAnswer()
{
    if (m_whole.empty())
        return true;
    const bool closes = m_whole.front();
    m_whole.pop_front();
    return closes;
}

int RequestFramer::feed(QByteArrayView bytes)
{
    if (m_refusal != kPass)
        return m_refusal;

    int status = kPass;
    while (!bytes.isEmpty()) {
        if (m_bodyRemaining > 0) {
            const qsizetype n = qsizetype(std::min<qint64>(m_bodyRemaining, bytes.size()));
            m_bodyRemaining -= n;
            bytes = bytes.sliced(n);
            if (m_bodyRemaining == 0)
                m_whole.push_back(m_closes);
            continue;
        }
        // Blank lines before a request are allowed and ignored.
        if (m_head.isEmpty()) {
            while (!bytes.isEmpty() && (bytes.front() == '\r' || bytes.front() == '\n'))
                bytes = bytes.sliced(1);
            if (bytes.isEmpty())
                break;
            m_method.clear();
            m_target.clear();
        }
        const qsizetype before = m_head.size();
        m_head.append(bytes.first(std::min(bytes.size(), m_maxHeadBytes + 1 - before)));
        const qsizetype end = headEnd(m_head, std::max<qsizetype>(0, before - 2));
        if (end < 0) {
            if (m_head.size() > m_maxHeadBytes) {
                evaluateHead(false); // for the method and target in the log
                return m_refusal = 431;
            }
            bytes = bytes.sliced(m_head.size() - before);
            continue;
        }
        bytes = bytes.sliced(end - before);
        m_head.truncate(end);
        const int headStatus = evaluateHead(!bytes.isEmpty());
        m_head.clear();
        if (headStatus >= 400)
            return m_refusal = headStatus;
        status = std::max(status, headStatus);
        if (m_bodyRemaining == 0)
            m_whole.push_back(m_closes);
    }
    return status;
}

int RequestFramer::evaluateHead(bool bodyFollows)
{
    const QList<QByteArray> lines = m_head.split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    m_method = words.value(0).left(16);
    m_target = words.value(1).left(200);
    const QByteArray version = words.size() > 2 ? words.last() : QByteArray();

    bool expectContinue = false;
    bool lengthSeen = false;
    qint64 length = 0;
    // An HTTP/1.0 client may ask to keep the connection; it is closed all the same.
    m_closes = version != "HTTP/1.1";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].first(colon).trimmed().toLower();
        const QByteArray value = lines[i].sliced(colon + 1).trimmed().toLower();
        if (name == "content-length") {
            if (!isDigits(value))
                return 400;
            if (value.size() > kMaxLengthDigits)
                return 413;
            if (lengthSeen && value.toLongLong() != length)
                return 400;
            length = value.toLongLong();
            lengthSeen = true;
        } else if (name == "transfer-encoding" && value != "identity") {
            return 411;
        } else if (name == "expect") {
            expectContinue = value == "100-continue";
        } else if (name == "connection") {
            for (const QByteArray& token : value.split(','))
                m_closes = m_closes || token.trimmed() == "close";
        }
    }

    if (!lengthSeen && (m_method == "POST" || m_method == "PUT" || m_method == "PATCH"))
        return 411;
    if (length > m_maxBodyBytes)
        return 413;
    m_bodyLength = m_bodyRemaining = length;
    // Without an answer, curl waits a second before sending the body.
    if (expectContinue && version == "HTTP/1.1" && length > 0 && !bodyFollows)
        return 100;
    return kPass;
}
