#pragma once

// The real service program, run by the tests that need a process of its own:
// killed and started again, watched from /proc, or attacked.

#include "ServiceTestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace ServiceTest {

using namespace Qt::StringLiterals;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's shadow memory does not fit the decoder's data limit, so
// the decoder cannot start and every thumbnail is the placeholder; and its
// allocator holds freed blocks in quarantine, so the service's resident
// memory is not what the service keeps.
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
constexpr bool kDecoderCanStart = !kUnderAddressSanitizer;

// One run of tarnwick-service, killed when it goes.
class Service
{
public:
    ~Service() { stop(&QProcess::kill); }

    // Empty once it listens; else what went wrong.
    QString start(const QString& data, const QStringList& options = {})
    {
        return start(QStringList { u"--data"_s, data } + options);
    }

    // With these options and no others but a free port. Its standard error,
    // the request log, is kept for errors() when asked for. A wrapper (such
    // as setpriv and its options) runs it when given.
    QString start(const QStringList& options,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  bool keepErrors = false, const QStringList& wrapper = {})
    {
        if (!keepErrors)
            m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setProcessEnvironment(environment);
        const QStringList command =
            wrapper + QStringList { QStringLiteral(TARNWICK_SERVICE_PATH), u"--port"_s, u"0"_s } + options;
        m_process.start(command.first(), command.mid(1));
        while (!m_process.canReadLine() && m_process.waitForReadyRead(kWaitMs)) { }
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        const QRegularExpressionMatch match =
            QRegularExpression(u"^tarnwick-service listening on http://127\\.0\\.0\\.1:(\\d+)/$"_s).match(line);
        if (!match.hasMatch())
            return u"no start-up line, but '%1'; %2"_s.arg(line, m_process.errorString());
        m_port = quint16(match.captured(1).toUInt());
        return {};
    }

    // What it has said on standard error so far, when started with keepErrors.
    QByteArray errors() { return m_errors += m_process.readAllStandardError(); }

    // With QProcess::kill (SIGKILL) or QProcess::terminate (SIGTERM).
    void stop(void (QProcess::*how)())
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        (m_process.*how)();
        m_process.waitForFinished(kWaitMs);
    }

    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }

    // Its peak resident memory so far, from /proc/PID/status; -1 if unknown.
    qint64 peakMemoryKiB() const { return memoryKiB("VmHWM"); }

    // A figure of /proc/PID/status in KiB: "VmRSS" now, "VmHWM" at its peak; -1 if unknown.
    qint64 memoryKiB(QByteArrayView field) const
    {
        QFile status(u"/proc/%1/status"_s.arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith(field) && line.mid(field.size()).startsWith(':'))
                return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_errors;
};

// The whole answer, once the service has closed the connection; from
// another loopback address when given one.
inline QByteArray exchange(quint16 port, const QByteArray& request, const QHostAddress& from = {})
{
    RawClient client(port, request, from);
    if (!QTest::qWaitFor([&] { return client.closed(); }, kWaitMs))
        return {};
    return client.received;
}

// The status and body of what a link gives, fetched with HTTP/1.0 from this
// port over loopback, whatever host the link names.
struct Fetched
{
    int status = 0;
    QByteArray body;
};
inline Fetched fetchFrom(quint16 port, const QString& link)
{
    const QByteArray answer = exchange(port, "GET /" + link.section(u'/', 3).toUtf8() + " HTTP/1.0\r\n\r\n");
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 ") || end < 0)
        return {};
    return { answer.mid(9, 3).toInt(), answer.mid(end + 4) };
}

// The body of what a link gives; empty unless 200.
inline QByteArray fetch(quint16 port, const QString& link)
{
    const Fetched fetched = fetchFrom(port, link);
    return fetched.status == 200 ? fetched.body : QByteArray();
}

} // namespace ServiceTest
