#include "TransportFailure.h"

#include "ToolkitCore.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace TransportFailure {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("TransportFailure", text);
}

// A head longer than this is no head: whatever follows is not looked at.
constexpr std::size_t kMaxHeadBytes = 16 * 1024;
// Texts from the answer are quoted in a message box: short, one line.
constexpr qsizetype kMaxQuotedChars = 200;

// The service's own words, as a user can read them: control characters
// dropped, runs of blanks folded, cut to a sensible length.
QString Quoted(std::string_view text)
{
    QString quoted = QString::fromUtf8(text.data(), qsizetype(text.size()));
    quoted.removeIf([](QChar c) { return !c.isPrint() && c != u' '; });
    quoted = quoted.simplified();
    if (quoted.size() > kMaxQuotedChars)
        quoted = quoted.left(kMaxQuotedChars - 1) + QChar(0x2026);
    return quoted;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return QChar::toLower(char16_t(uchar(x))) == QChar::toLower(char16_t(uchar(y)));
           });
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

struct AnswerHead
{
    int status = 0;          // 0: no status line
    std::string_view reason; // "Internal Server Error"
    std::string_view location;
};

// "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n" -> {302, "Found", "/x"}
AnswerHead ReadHead(std::string_view answer)
{
    AnswerHead head;
    answer = answer.substr(0, std::min(answer.size(), kMaxHeadBytes));
    const auto nextLine = [&answer] {
        const std::size_t end = answer.find('\n');
        const std::string_view line = Trimmed(answer.substr(0, end));
        answer = end == std::string_view::npos ? std::string_view() : answer.substr(end + 1);
        return line;
    };

    const std::string_view statusLine = nextLine();
    if (!statusLine.starts_with("HTTP/"))
        return head;
    const std::size_t codeAt = statusLine.find(' ');
    if (codeAt == std::string_view::npos)
        return head;
    const std::string_view rest = statusLine.substr(codeAt + 1);
    const std::string_view code = rest.substr(0, 3);
    if (code.size() != 3 || !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })
        || (rest.size() > 3 && rest[3] != ' '))
        return head;
    head.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    head.reason = Trimmed(rest.substr(3));

    for (std::string_view line = nextLine(); !line.empty(); line = nextLine()) {
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsIgnoringCase(Trimmed(line.substr(0, colon)), "Location"))
            head.location = Trimmed(line.substr(colon + 1));
    }
    return head;
}

} // namespace

QString MessageText(int number, const QString& description)
{
    return QString::number(number) + QStringLiteral(" - ") + description;
}

Failure FailureOf(const std::exception& trapped)
{
    if (const auto* failure = dynamic_cast<const Toolkit::Failure*>(&trapped))
        return {failure->number(), failure->description()};
    if (const auto* system = dynamic_cast<const std::system_error*>(&trapped))
        return {system->code().value() != 0 ? system->code().value() : EIO, QString::fromLocal8Bit(system->what())};
    if (dynamic_cast<const std::bad_alloc*>(&trapped))
        return {ENOMEM, QString::fromLocal8Bit(std::strerror(ENOMEM))};
    return {EIO, QString::fromLocal8Bit(trapped.what())};
}

int ErrorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::ProxyConnectionClosedError:
        return ECONNRESET;
    // getaddrinfo's failures have no errno of their own: an unknown host is
    // one that cannot be reached.
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::ProxyNotFoundError:
        return EHOSTUNREACH;
    case QAbstractSocket::SocketAccessError:
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return EACCES;
    case QAbstractSocket::SocketResourceError:
        return ENOBUFS;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError:
        return EMSGSIZE;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    case QAbstractSocket::AddressInUseError:
        return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return EOPNOTSUPP;
    case QAbstractSocket::UnfinishedSocketOperationError:
        return EINPROGRESS;
    case QAbstractSocket::ProxyProtocolError:
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return EPROTO;
    case QAbstractSocket::TemporaryError:
        return EAGAIN;
    case QAbstractSocket::OperationError:
        return ENOTCONN;
    case QAbstractSocket::UnknownSocketError:
        break;
    }
    return EIO;
}

Failure FromErrno(int number)
{
    return {number != 0 ? number : EIO, QString::fromLocal8Bit(std::strerror(number != 0 ? number : EIO))};
}

Failure ClosedEarly()
{
    return {ECONNRESET, tr("The service closed the connection before its answer was complete")};
}

Failure TimedOut(std::chrono::milliseconds limit)
{
    const double seconds = double(limit.count()) / 1000.0;
    return {ETIMEDOUT, tr("The service did not answer within %1 seconds").arg(seconds)};
}

Failure AnswerTooLarge(qint64 limit)
{
    return {EMSGSIZE, tr("The service's answer is larger than %1").arg(QLocale().formattedDataSize(limit, 0))};
}

bool HoldsNoLinks(const modTarnwick::LinkSet& links)
{
    return !links.empty() && std::all_of(links.begin(), links.end(), [](const std::string& slot) { return slot == "n.a"; });
}

Failure ConnectionEnded(int number, const QString& description, std::string_view answer)
{
    return ReadHead(answer).status >= 300 ? NoLinks(answer) : Failure{number, description};
}

Failure NoLinks(std::string_view answer)
{
    const AnswerHead head = ReadHead(answer);
    if (head.status == 0)
        return {ENODATA, tr("The service's answer held no links")};

    QString status = QString::number(head.status);
    if (!head.reason.empty())
        status += u' ' + Quoted(head.reason);
    if (head.status < 300 || head.status > 599)
        return {ENODATA, tr("The service answered %1, but its page held no links").arg(status)};

    QString description = tr("The service answered %1 and sent no links").arg(status);
    if (head.status < 400 && !head.location.empty())
        description += tr("; it points to %1").arg(Quoted(head.location));
    return {head.status, description};
}

} // namespace TransportFailure
