#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>

class HttpServer;
class QSocketNotifier;

// One client's connection, on one of the server's reading threads: reads
// each request, has it answered, writes the answer, and keeps every step
// within its time. It reads from the socket itself, so that the end of the
// client's input is only a fact to act on: a client that half-closes after
// its request still gets the answer. What arrives beyond a request waits in
// the connection's own buffer, and nothing more is read until its answer is out.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(HttpServer& server, QObject* parent);
    ~HttpConnection() override;

    // Takes the accepted connection over and serves it until it ends, then goes.
    void start(qintptr descriptor);
    // The server has room for bodies again; on the connection's thread.
    void roomFreed();

signals:
    void logged(const QString& line);

private:
    enum class State {
        Head, // waiting for a request, or reading its head
        Body, // reading its body, or waiting for room to
        Answering, // the pool makes its answer
        Writing, // the answer goes out
        Lingering, // the last answer is out; what arrives is ignored until the client is quiet
    };

    // Bytes over a sliding window: whether a body or an answer keeps its pace.
    class Pace
    {
    public:
        void start(qint64 nowMs, qint64 total = 0);
        void add(qint64 bytes, qint64 nowMs, qint64 windowMs);
        // Until fewer than need bytes would have moved over the last window, should none move from now on.
        qint64 leftMs(qint64 nowMs, qint64 windowMs, qint64 need) const;

    private:
        struct Sample
        {
            qint64 timeMs;
            qint64 total;
        };
        std::deque<Sample> m_samples;
        qint64 m_total = 0;
        qint64 m_lastMs = 0;
    };

    void readable();
    void readHead();
    // The head's length once its blank line is among the bytes read; -1 until
    // then; kBareLineFeed for a line that ends in LF alone.
    qsizetype headLength();
    void takeHead(qsizetype length);
    void readBody();
    bool growBody();
    void dispatch();
    void answer(const HttpResponse& response, bool withBody);
    void send(const QByteArray& bytes);
    void flush();
    void answerWritten();
    void refuse(int status);
    // Ends the output, and reads until the client is quiet or gone.
    void linger();
    void drain();
    void deadlinePassed();
    // Enters a state whose clock starts now.
    void enter(State state);
    void keepTime();
    // Bytes read into into, 0 when none is there now, -1 once the input has
    // ended (or the connection broke: m_broken).
    qint64 receive(char* into, qint64 size);
    void endRequest();
    void log(int status, qint64 bodyBytes);
    void close();
    qint64 now() const { return m_clock.elapsed(); }

    HttpServer& m_server;
    int m_descriptor = -1;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_writer;
    QHostAddress m_peer;
    QHostAddress m_client; // the peer, or the client a trusted proxy names
    bool m_peerAdmitted = false;
    bool m_clientAdmitted = false;
    State m_state = State::Head;
    QTimer m_deadline;
    QElapsedTimer m_clock;
    qint64 m_stateStartMs = 0;
    qint64 m_lastInputMs = 0;
    bool m_inputEnded = false;
    bool m_broken = false;
    bool m_closed = false; // it only waits to be deleted
    bool m_refused = false;
    QByteArray m_input; // read, not yet taken by a request
    qsizetype m_scanned = 0; // of m_input, looked at for the head's end
    HttpHead m_head;
    qint64 m_bodyRoom = 0; // taken from the server's budget
    qint64 m_headRoom = 0; // taken for a long head
    bool m_waitingForRoom = false;
    qint64 m_waitStartMs = 0;
    Pace m_pace;
    QByteArrayList m_output;
    qsizetype m_outputSent = 0; // of its first piece
};
