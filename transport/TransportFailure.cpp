#include "TransportFailure.h"

#include "ServiceEndpoint.h"
#include "ToolkitCore.h"
#include "UploadLimits.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringDecoder>

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

// Texts from the answer are quoted in a message: short, one line.
constexpr qsizetype kMaxQuotedChars = 120;

// The service's own words, as a user can read them: control characters
// dropped, runs of blanks folded, cut to a sensible length.
QString Quoted(std::string_view text)
{
    QString quoted = QString::fromUtf8(text.data(), qsizetype(text.size()));
    // Line breaks and tabs part words; every other unprintable character
    // (controls, direction overrides) goes.
    quoted = quoted.simplified();
    quoted.removeIf([](QChar c) { return !c.isPrint() && c != u' '; });
    quoted = quoted.simplified();
    if (quoted.size() > kMaxQuotedChars) {
        qsizetype keep = kMaxQuotedChars - 1;
        if (quoted.at(keep - 1).isHighSurrogate())
            --keep;
        quoted = quoted.left(keep) + QChar(0x2026);
    }
    return quoted;
}

// Whether a page's reason is only the status again: "400 Bad Request",
// "Bad Request (400)", "Error 400".
bool SaysOnlyTheStatus(const QString& reason, int status, std::string_view statusReason)
{
    const auto letters = [](QString text) {
        text.removeIf([](QChar c) { return !c.isLetter(); });
        return text.toCaseFolded();
    };
    const QString left = letters(reason);
    return left.isEmpty() || left == letters(QString::fromUtf8(statusReason.data(), qsizetype(statusReason.size())))
        || (left == QLatin1String("error") && reason.contains(QString::number(status)));
}

} // namespace

QString MessageText(int number, const QString& description)
{
    return QString::number(number) + QStringLiteral(" - ") + description;
}

Failure FailureOf(const std::exception& trapped)
{
    if (const auto* failure = dynamic_cast<const Toolkit::Failure*>(&trapped))
        return { failure->number(), failure->description() };
    if (const auto* system = dynamic_cast<const std::system_error*>(&trapped))
        return { system->code().value() != 0 ? system->code().value() : EIO, QString::fromLocal8Bit(system->what()) };
    if (dynamic_cast<const std::bad_alloc*>(&trapped))
        return { ENOMEM, QString::fromLocal8Bit(std::strerror(ENOMEM)) };
    return { EIO, QString::fromLocal8Bit(trapped.what()) };
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

Failure FromStream(int number)
{
    return { number, QString::fromLocal8Bit(modTarnwick::DescribeReadFailure(number)) };
}

Failure FromErrno(int number)
{
    return { number != 0 ? number : EIO, QString::fromLocal8Bit(std::strerror(number != 0 ? number : EIO)) };
}

Failure ClosedEarly()
{
    return { ECONNRESET, tr("The service closed the connection before its answer was complete") };
}

Failure TimedOut(std::chrono::milliseconds limit)
{
    const double seconds = double(limit.count()) / 1000.0;
    return { ETIMEDOUT, tr("The service did not answer within %1 seconds").arg(seconds) };
}

Failure AnswerTooLarge(qint64 limit)
{
    return { EMSGSIZE, tr("The service's answer is larger than %1").arg(QLocale().formattedDataSize(limit, 0)) };
}

Failure AnswerTooSlow(std::chrono::milliseconds limit)
{
    const double seconds = double(limit.count()) / 1000.0;
    return { ETIMEDOUT,
             tr("The service was too slow to answer: its answer was not complete within %1 seconds").arg(seconds) };
}

Failure MalformedHead(qint64 limit)
{
    return { EPROTO,
             tr("The service's answer is malformed: its status line and headers run past %1")
                 .arg(QLocale().formattedDataSize(limit, 0)) };
}

Failure EncodedPage(std::string_view encoding)
{
    return { EPROTO, tr("The service sent its page encoded (%1), which cannot be read").arg(Quoted(encoding)) };
}

std::optional<Failure> RefusedLink(std::size_t row, std::string_view link)
{
    const auto refused = [row](const QString& why) {
        return Failure { EBADMSG,
                         tr("The service's page holds a link that cannot be shown: link %1 %2").arg(row + 1).arg(why) };
    };
    // What --print writes is the link's bytes and what a row shows is their
    // UTF-8, so the check is made on that. A byte order mark is a character
    // like any other here, not something to drop unseen.
    QStringDecoder toText(QStringDecoder::Utf8,
                          QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = toText(QByteArrayView(link.data(), qsizetype(link.size())));
    if (toText.hasError())
        return refused(tr("is not UTF-8 text"));
    for (const char32_t c : text.toUcs4()) {
        // Line and paragraph separators are printable to Qt, but end a line
        // as a line feed does.
        const QChar::Category category = QChar::category(c);
        if (!QChar::isPrint(c) || category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
            return refused(tr("holds U+%1, which is not printable")
                               .arg(QString::number(uint(c), 16).toUpper().rightJustified(4, u'0')));
    }
    if (text.size() > UploadLimits::MaxLinkChars)
        return refused(
            tr("has %1 characters, more than a row holds (%2)").arg(text.size()).arg(UploadLimits::MaxLinkChars));
    return std::nullopt;
}

Failure CertificateNotTrusted(Distrust why, const QString& otherwise)
{
    const QString bundle = CaCertificatesFile();
    QString reason;
    switch (why) {
    case Distrust::UnknownIssuer:
        reason = bundle.isEmpty() ? tr("no CA certificate of this system vouches for it")
                                  : tr("no CA certificate in %1 (SSL_CERT_FILE) vouches for it").arg(bundle);
        break;
    case Distrust::SelfSigned:
        reason = tr("it is self-signed");
        break;
    case Distrust::Expired:
        reason = tr("it has expired");
        break;
    case Distrust::NotYetValid:
        reason = tr("it is not valid yet");
        break;
    case Distrust::Revoked:
        reason = tr("it has been revoked");
        break;
    case Distrust::Other:
        reason = Quoted(otherwise.toStdString());
        break;
    }
    return { EPROTO, tr("The service's certificate is not trusted: %1").arg(reason) };
}

Failure CertificateForAnotherHost(const QString& host)
{
    return { EPROTO, tr("The service's certificate does not match the host: it was not issued for %1").arg(host) };
}

Failure HandshakeFailed(const QString& detail)
{
    return { EPROTO, tr("No secure connection to the service could be made: %1").arg(Quoted(detail.toStdString())) };
}

Failure CaCertificatesUnusable(const QString& path)
{
    return { EPROTO, tr("SSL_CERT_FILE names %1, which holds no CA certificate that can be read").arg(path) };
}

bool HoldsNoLinks(const modTarnwick::LinkSet& links)
{
    return !links.empty() && std::all_of(links.begin(), links.end(), [](const std::string& slot) {
        return slot == modTarnwick::kNotAvailable;
    });
}

Failure ConnectionEnded(int number, const QString& description, std::string_view answer)
{
    return modTarnwick::ReadAnswerHead(answer).status >= 300 ? NoLinks(answer) : Failure { number, description };
}

Failure NoLinks(std::string_view answer)
{
    const modTarnwick::AnswerHead head = modTarnwick::ReadAnswerHead(answer);
    QString reason = Quoted(modTarnwick::PageReason(answer.substr(head.size)));
    if (head.status == 0) {
        const QString said = tr("The service's answer held no links");
        return { ENODATA, reason.isEmpty() ? said : said + QStringLiteral(": ") + reason };
    }

    QString status = QString::number(head.status);
    if (!head.reason.empty())
        status += u' ' + Quoted(head.reason);
    // "400 Bad Request" again, as many servers title their error pages, says nothing new.
    if (SaysOnlyTheStatus(reason, head.status, head.reason))
        reason.clear();
    if (head.status < 300 || head.status > 599) {
        const QString said = tr("The service answered %1, but its page held no links").arg(status);
        return { ENODATA, reason.isEmpty() ? said : said + QStringLiteral(": ") + reason };
    }

    QString description = reason.isEmpty() ? tr("The service answered %1 and sent no links").arg(status)
                                           : tr("The service answered %1: %2").arg(status, reason);
    if (head.status < 400 && !head.location.empty())
        description += tr("; it points to %1").arg(Quoted(head.location));
    return { head.status, description };
}

} // namespace TransportFailure
