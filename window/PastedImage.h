#pragma once

// An image that came as data, not as a file (a paste, or a drop from a
// browser), encoded in memory for the upload: no file is written.

#include <QByteArray>
#include <QString>

#include <optional>

class QImage;

struct PastedImage
{
    QByteArray bytes;
    QByteArray format; // "PNG" or "JPEG"

    // PNG when it stays within maxBytes; otherwise a JPEG of the highest
    // quality that does, the image's own size kept; nothing when even the
    // lowest quality is too big, or the image is empty.
    static std::optional<PastedImage> Encode(const QImage& image, qint64 maxBytes);

    // "pasted.png", "pasted.jpg": the name it goes up under.
    QString UploadName() const;
    // "Pasted image, PNG, 412 KB": what the path box shows while it is chosen.
    QString Description() const;
};
