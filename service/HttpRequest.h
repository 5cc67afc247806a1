#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>

#include <utility>

// One request as the service serves it, and the one reading of its head.
// The reading is strict, so that no front end or client can take the same
// bytes for a different request: what it does not understand exactly is
// refused, never repaired.
struct HttpRequest
{
    QByteArray method; // "GET"
    QByteArray target; // "/i/k3x9pq2mzt/cat.png?x=1", as sent
    QByteArray path; // "/i/k3x9pq2mzt/cat.png", percent-decoded
    int minorVersion = 1; // HTTP/1.0 or HTTP/1.1
    QList<std::pair<QByteArray, QByteArray>> headers; // names in lower case, in order
    QByteArray body;
    QHostAddress peer;

    // The first value of a header; name in lower case.
    QByteArray header(QByteArrayView name) const;
};

// What the head of a request says, or why it is refused.
struct HttpHead
{
    static constexpr int kMaxHeaderLines = 100;
    static constexpr qsizetype kMaxTargetBytes = 8 * 1024;

    // 0, or the status the request is refused with: 400 (not read as a
    // request: a broken line, a folded header, a Content-Length that is no
    // number, two of them, or one beside a Transfer-Encoding; no Host, or two,
    // in HTTP/1.1), 411 (a body without a Content-Length), 413 (a body over
    // maxBodyBytes), 414, 417 (an expectation other than 100-continue),
    // 431 (too many header lines), 505 (an HTTP version other than 1.0 and 1.1).
    int refusal = 0;
    HttpRequest request; // without its body
    qint64 bodyLength = 0;
    bool closeAfterAnswer = true; // HTTP/1.0, or "Connection: close"
    bool expectsContinue = false;

    // The head whole, from the request line to the blank line that ends it:
    // "GET / HTTP/1.1\r\nHost: a\r\n\r\n".
    static HttpHead parse(QByteArrayView head, qint64 maxBodyBytes);
};
