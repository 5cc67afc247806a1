#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <list>

// Makes thumbnails of uploads in a process of its own, a few at a time and
// fairly among clients. The decoders of strangers' images can be made to
// take gigabytes and seconds; a child process can be held to a memory and
// time budget as a whole, and killed, where a thread cannot. It has nothing
// of the service's: no environment, capability or open file, and it can
// neither grow a file nor start a process.
class ThumbnailMaker
{
public:
    static constexpr int kDecoders = 2;
    // Requests for thumbnails not made yet that may be in hand at once, for
    // one client (a browser opens six connections) and for all: each holds
    // one of the service's answering threads. More are told to come back.
    static constexpr int kMaxPerClient = 6;
    static constexpr int kMaxInHand = 12;
    // What one decoder may take as a whole: its data (the picture, the
    // decoder's own buffers), its processor time and its time overall.
    static constexpr qint64 kMaxDecoderDataBytes = qint64(384) * 1024 * 1024;
    static constexpr int kMaxDecoderSeconds = 10;
    static constexpr int kMaxDecoderWallSeconds = 15;
    // How long a request waits for a decoder before it is told to come back.
    static constexpr int kMaxWaitSeconds = 20;
    // The child's exit status for bytes that will never decode.
    static constexpr int kUndecodable = 65;

    // A request's place among those in hand, for as long as it lives.
    class Admission
    {
    public:
        Admission(ThumbnailMaker& maker, const QHostAddress& peer);
        ~Admission();
        Admission(const Admission&) = delete;
        Admission& operator=(const Admission&) = delete;

        // False when its client, or everyone, has too many in hand already.
        bool admitted() const { return m_admitted; }

    private:
        friend class ThumbnailMaker;
        ThumbnailMaker& m_maker;
        QByteArray m_client;
        bool m_admitted = false;
    };

    struct Made
    {
        enum class Result {
            Thumbnail,
            Placeholder, // the bytes will never decode: keep it
            Failed, // out of time, or the decoder died: try again later
            Busy, // no decoder came free in time
        };
        Result result = Result::Failed;
        QByteArray jpeg; // the thumbnail or the placeholder
        QString note; // for the log: "made in 0.21 s", "placeholder: 300 scans"
    };

    // program: the service's own, run as `program --make-thumbnail`.
    explicit ThumbnailMaker(const QString& program)
        : m_program(program)
    { }

    // The thumbnail, after waiting for the admitted client's turn at a
    // decoder; the placeholder at once for bytes that are ImageCodec::overBudget().
    Made make(const QByteArray& image, const Admission& admission);

    // "203.0.113.7" -> "203.0.113.7"; "::ffff:203.0.113.7" -> "203.0.113.7";
    // "2001:db8:1:2:3:4:5:6" -> "2001:db8:1:2::/64": one home's addresses are one client.
    static QByteArray clientOf(const QHostAddress& peer);

    // The child's side: the image on standard input, the thumbnail on
    // standard output. The exit status: 0, or kUndecodable with the placeholder.
    static int makeFromStandardInput();

    // Keeps this process from making processes or running programs, from now
    // on; it may still make threads, which Qt's image conversions start on a
    // pool of their own. Needs no-new-privileges. False when refused.
    static bool forbidNewProcesses();

private:
    struct Client
    {
        int inHand = 0;
        bool decoding = false;
        quint64 lastTurn = 0; // when it last had a decoder; 0 never
    };
    struct Waiter
    {
        QByteArray client;
        quint64 arrival = 0;
    };

    bool waitForTurn(const QByteArray& client);
    void endTurn(const QByteArray& client);
    // Whether this waiter is the one a free decoder goes to: of the clients
    // not decoding, the one whose last turn is longest ago, first come first.
    bool isNext(const Waiter& waiter) const;
    Made decode(const QByteArray& image);

    QString m_program;
    QMutex m_mutex;
    QWaitCondition m_turnEnded;
    QHash<QByteArray, Client> m_clients; // those with requests in hand
    std::list<Waiter> m_waiting;
    int m_inHand = 0;
    int m_decoding = 0;
    quint64 m_clock = 0;
};
