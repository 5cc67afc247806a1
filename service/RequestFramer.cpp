#include "RequestFramer.h"

#include <QList>

#include <algorithm>
#include <limits>

namespace {

constexpr QByteArrayView kHeadEnd = "\r\n\r\n";
constexpr QByteArrayView kBareHeadEnd = "\n\n";
constexpr qsizetype kMaxLengthDigits = 15;

// End of the head (just past the blank line) within head, searching from from; -1 if not yet there.
qsizetype headEnd(QByteArrayView head, qsizetype from)
{
    const qsizetype crLf = head.indexOf(kHeadEnd, from);
    const qsizetype bare = head.indexOf(kBareHeadEnd, from);
    if (crLf < 0 && bare < 0)
        return -1;
    if (bare < 0 || (crLf >= 0 && crLf < bare))
        return crLf + kHeadEnd.size();
    return bare + kBareHeadEnd.size();
}

} // namespace

RequestFramer::RequestFramer(qsizetype maxHeadBytes, qint64 maxBodyBytes)
    : m_maxHeadBytes(maxHeadBytes)
    , m_maxBodyBytes(maxBodyBytes)
{
}

bool RequestFramer::isRefusal(Verdict verdict)
{
    return verdict != Verdict::Pass && verdict != Verdict::ExpectContinue;
}

RequestFramer::Verdict RequestFramer::feed(QByteArrayView bytes)
{
    if (isRefusal(m_refusal))
        return m_refusal;

    Verdict verdict = Verdict::Pass;
    while (!bytes.isEmpty()) {
        if (m_bodyRemaining > 0) {
            const qsizetype n = qsizetype(std::min<qint64>(m_bodyRemaining, bytes.size()));
            m_bodyRemaining -= n;
            bytes = bytes.sliced(n);
            continue;
        }
        // Blank lines between requests are allowed and ignored.
        if (m_head.isEmpty()) {
            while (!bytes.isEmpty() && (bytes.front() == '\r' || bytes.front() == '\n'))
                bytes = bytes.sliced(1);
            if (bytes.isEmpty())
                break;
        }
        const qsizetype before = m_head.size();
        const qsizetype room = std::max<qsizetype>(0, m_maxHeadBytes - before);
        const qsizetype piece = std::min(bytes.size(), room + 1);
        m_head.append(bytes.first(piece));
        const qsizetype end = headEnd(m_head, std::max<qsizetype>(0, before - 3));
        if (end < 0) {
            if (m_head.size() > m_maxHeadBytes) {
                readRequestLine(m_head);
                return m_refusal = Verdict::HeadTooLarge;
            }
            bytes = bytes.sliced(piece);
            continue;
        }
        bytes = bytes.sliced(end - before);
        m_head.truncate(end);
        const Verdict headVerdict = evaluateHead(m_head, !bytes.isEmpty());
        m_head.clear();
        if (isRefusal(headVerdict))
            return m_refusal = headVerdict;
        if (headVerdict == Verdict::ExpectContinue)
            verdict = headVerdict;
    }
    return verdict;
}

QByteArray RequestFramer::readRequestLine(QByteArrayView head)
{
    const qsizetype lineEnd = head.indexOf('\n');
    const QList<QByteArray> words = head.first(lineEnd < 0 ? head.size() : lineEnd).trimmed().toByteArray().split(' ');
    m_method = words.value(0).left(16);
    m_target = words.value(1).left(200);
    return words.size() > 2 ? words.last() : QByteArray();
}

RequestFramer::Verdict RequestFramer::evaluateHead(QByteArrayView head, bool bodyFollows)
{
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    const QByteArray version = readRequestLine(lines.value(0));

    bool expectContinue = false;
    qint64 length = 0;
    bool lengthSeen = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.first(colon).trimmed().toLower();
        const QByteArray value = line.sliced(colon + 1).trimmed();
        if (name == "content-length") {
            const bool digits = !value.isEmpty()
                && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits)
                return Verdict::BadRequest;
            if (value.size() > kMaxLengthDigits) {
                m_bodyRemaining = std::numeric_limits<qint64>::max();
                return Verdict::BodyTooLarge;
            }
            const qint64 parsed = value.toLongLong();
            if (lengthSeen && parsed != length)
                return Verdict::BadRequest;
            length = parsed;
            lengthSeen = true;
        } else if (name == "transfer-encoding") {
            if (value.toLower() != "identity")
                return Verdict::LengthRequired;
        } else if (name == "expect") {
            expectContinue = value.toLower() == "100-continue";
        }
    }
    if (length > m_maxBodyBytes) {
        m_bodyRemaining = length;
        return Verdict::BodyTooLarge;
    }
    m_bodyRemaining = length;
    // Without an answer, curl waits a second before sending the body.
    if (expectContinue && version == "HTTP/1.1" && length > 0 && !bodyFollows)
        return Verdict::ExpectContinue;
    return Verdict::Pass;
}
