#pragma once

#include <QAtomicInt>
#include <QByteArray>
#include <QSemaphore>
#include <QString>

#include <optional>

// Makes thumbnails of uploads in a process of its own, a few at a time. The
// decoders of strangers' images can be made to take gigabytes and seconds;
// a child process can be held to a memory and time budget as a whole, and
// killed, where a thread cannot. Its crash is a placeholder, not the
// service's end.
class ThumbnailMaker
{
public:
    static constexpr int kDecoders = 2;
    // Requests that may wait for a decoder; more are told to come back.
    // Kept well below the service's answering threads, which they hold.
    static constexpr int kMaxWaiting = 4;
    // What one decoder may take as a whole: its data (the picture, the
    // decoder's own buffers), its processor time and its time overall.
    static constexpr qint64 kMaxDecoderDataBytes = qint64(384) * 1024 * 1024;
    static constexpr int kMaxDecoderSeconds = 10;

    // program: the service's own, run as `program --make-thumbnail`.
    explicit ThumbnailMaker(const QString& program) : m_program(program) {}

    // The thumbnail, a JPEG, or the placeholder when the image does not
    // decode within the budget; nothing, at once, when too many wait already.
    std::optional<QByteArray> make(const QByteArray& image);

    // The child's side: the image on standard input, the thumbnail on
    // standard output. The exit status.
    static int makeFromStandardInput();

private:
    QByteArray decode(const QByteArray& image);

    QString m_program;
    QSemaphore m_decoders{ kDecoders };
    QAtomicInt m_queued; // decoding or waiting
};
