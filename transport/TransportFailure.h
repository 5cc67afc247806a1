#pragma once

// How an upload's failures are told to the user, the same over both
// transports: a number and a description, shown as "N - description".
//
// The numbers:
//   1 to 133  the system's error numbers (errno): a file the request builder
//             cannot read (2, 13, 21, ...), a connection that fails (111
//             refused, 104 reset or closed early, 113 host unreachable, 110
//             no progress within the time limit, or an answer not complete
//             within its own), an answer over the size limit (90), a
//             malformed answer or an encoded page (71), a page whose links
//             cannot be shown (74). 5 is also the answer-page parser's failure.
//   300-599   an answer that held no links, numbered by its HTTP status
//             (302, 404, 500, ...).
//   61        an answer that held no links although its status was not an
//             error (200, say), or that had no status line at all.
//   116       an image that changed while it was sent.
//   71        an https connection that could not be made safe: a certificate
//             that is not trusted or not made out to the host, a failed
//             handshake; the same words over both transports.
// A failure is never numbered 0.

#include "modTarnwick.h"

#include <QAbstractSocket>
#include <QString>

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string_view>

namespace TransportFailure {

struct Failure
{
    int number = 0;
    QString description;
};

// "111 - Connection refused": the one form in which a failure is shown.
QString MessageText(int number, const QString& description);

// The number and text of a failure that an upload command's trap caught.
Failure FailureOf(const std::exception& trapped);

// The errno value that stands for a socket error; never 0.
int ErrorNumber(QAbstractSocket::SocketError error);

// A system error number with the system's words for it.
Failure FromErrno(int number);
// A request stream's failure number (see RequestStream::Read) with its words.
Failure FromStream(int number);
// The peer closed the connection before the answer was complete (104).
Failure ClosedEarly();
// The connection made no progress for this long (110).
Failure TimedOut(std::chrono::milliseconds limit);
// The answer grew past the limit (90).
Failure AnswerTooLarge(qint64 limit);
// The answer was not complete within limit of the request's end (110).
Failure AnswerTooSlow(std::chrono::milliseconds limit);
// The answer's status line and headers ran past limit bytes (71).
Failure MalformedHead(qint64 limit);
// The page came encoded ("gzip", say), which nothing here decodes (71).
Failure EncodedPage(std::string_view encoding);
// Why link, in row 0 to 7, must not reach a row, the clipboard or a
// terminal (74): not UTF-8, a character that is not printable (controls,
// direction and other format characters, line and paragraph separators),
// or more characters than a row holds. Nothing for a link that may.
std::optional<Failure> RefusedLink(std::size_t row, std::string_view link);

// Why a certificate cannot be trusted, as both TLS libraries can tell it.
enum class Distrust { UnknownIssuer, SelfSigned, Expired, NotYetValid, Revoked, Other };
// "The service's certificate is not trusted: it is self-signed"; otherwise:
// the library's own words, for Other.
Failure CertificateNotTrusted(Distrust why, const QString& otherwise = QString());
// "The service's certificate does not match the host: it was not issued for img.example.org".
Failure CertificateForAnotherHost(const QString& host);
// A TLS handshake that failed before any certificate was judged: a plain
// HTTP server at an https address, say.
Failure HandshakeFailed(const QString& detail);
// SSL_CERT_FILE names a file that holds no CA certificate.
Failure CaCertificatesUnusable(const QString& path);

// A parsed page whose every slot is "n.a": neither section was on it.
bool HoldsNoLinks(const modTarnwick::LinkSet& links);

// The failure for an answer that held no links: the status line and headers
// as received ("HTTP/1.1 302 Found\r\nLocation: ...") and the page after
// them, whose title or first heading is quoted as the service's reason.
Failure NoLinks(std::string_view answer);
// A connection that failed or closed (number, description) after the part of
// an answer given: a redirect or an error often comes without a page and ends
// with the connection, and then what the service answered says more.
Failure ConnectionEnded(int number, const QString& description, std::string_view answer);

} // namespace TransportFailure
