#include "ThumbnailMaker.h"

#include "ImageCodec.h"

#include <QFile>
#include <QProcess>

#include <cstdio>

#include <sys/resource.h>

namespace {

constexpr QByteArrayView kJpegMagic = "\xff\xd8\xff";
// More than any upload the service takes.
constexpr qint64 kMaxInputBytes = 8 * 1024 * 1024;

} // namespace

std::optional<QByteArray> ThumbnailMaker::make(const QByteArray& image)
{
    if (m_queued.fetchAndAddOrdered(1) >= kDecoders + kMaxWaiting) {
        m_queued.fetchAndSubOrdered(1);
        return std::nullopt;
    }
    m_decoders.acquire();
    const QByteArray made = decode(image);
    m_decoders.release();
    m_queued.fetchAndSubOrdered(1);
    return made;
}

QByteArray ThumbnailMaker::decode(const QByteArray& image)
{
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice());
    child.setChildProcessModifier([] {
        const rlimit data{ kMaxDecoderDataBytes, kMaxDecoderDataBytes };
        const rlimit processor{ kMaxDecoderSeconds, kMaxDecoderSeconds };
        setrlimit(RLIMIT_DATA, &data);
        setrlimit(RLIMIT_CPU, &processor);
    });
    child.start(m_program, { QStringLiteral("--make-thumbnail") });
    child.write(image);
    child.closeWriteChannel();
    if (!child.waitForFinished(kMaxDecoderSeconds * 1000)) {
        child.kill();
        child.waitForFinished();
        return ImageCodec::placeholderJpeg();
    }
    const QByteArray made = child.readAllStandardOutput();
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || !made.startsWith(kJpegMagic))
        return ImageCodec::placeholderJpeg();
    return made;
}

int ThumbnailMaker::makeFromStandardInput()
{
    QFile in;
    QFile out;
    if (!in.open(stdin, QIODevice::ReadOnly) || !out.open(stdout, QIODevice::WriteOnly))
        return 1;
    const ImageCodec::Thumbnail thumbnail = ImageCodec::thumbnailOf(in.read(kMaxInputBytes));
    return out.write(thumbnail.jpeg) == thumbnail.jpeg.size() && out.flush() ? 0 : 1;
}
