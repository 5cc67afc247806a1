#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

class HttpServer;

// One client's connection, on one of the server's reading threads: reads
// each request, hands it to the pool to be answered, writes the answer, and
// keeps every step within its time.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(HttpServer& server, QObject* parent);
    ~HttpConnection() override;

    // Takes the accepted connection over and serves it until it ends, then goes.
    void start(qintptr descriptor);

signals:
    void logged(const QString& line);

private:
    enum class State {
        Head,      // waiting for a request, or reading its head
        Body,      // reading its body
        Answering, // the pool makes its answer
        Writing,   // the answer goes out
        Refused,   // a refusal went out; what arrives is ignored until the client is quiet
        Closing,   // the last answer is sent, then the connection ends
    };

    void readRequest();
    void dispatch();
    void answer(const HttpResponse& response);
    void written(qint64 bytes);
    void refuse(int status);
    void deadlinePassed();
    // Enters a state whose clock starts now.
    void enter(State state);
    // The deadline of the state, with this much of its body or answer done.
    void keepTime(qint64 bytesDone);
    void log(int status, qint64 bodyBytes);
    void ended();

    HttpServer& m_server;
    QTcpSocket m_socket;
    QHostAddress m_peer;
    bool m_admitted = false;
    State m_state = State::Head;
    QTimer m_deadline;
    QElapsedTimer m_stateClock;
    HttpHead m_head;
    qint64 m_written = 0;
    bool m_gone = false; // the client went while its answer was being made
};
