#pragma once

// Pictures for the thumbnail tests and benchmark: photos as a camera's would
// compress, the thumbnail one expects of them, and the costly images an
// attacker makes; and the decoder processes of a service, found in /proc.

#include "ServiceTestSupport.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QRandomGenerator>

#include <cmath>
#include <limits>

namespace ServiceTest {

// Light falling across a scene, shapes with soft edges, and sensor noise:
// what makes a photo's JPEG and PNG as large as they are. The same seed
// gives the same picture.
inline QImage photoLike(int width, int height, quint32 seed, int noise = 12)
{
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(60 + 150 * y / height, 90 + 100 * x / width, 200 - 120 * y / height);
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 24; ++i) {
        const QColor colour = QColor::fromHsv(random.bounded(360), 80 + random.bounded(170), 60 + random.bounded(190));
        QRadialGradient light(random.bounded(width), random.bounded(height), std::max(width, height) / 4.0);
        light.setColorAt(0, colour.lighter(140));
        light.setColorAt(1, colour.darker(160));
        painter.setBrush(light);
        painter.setPen(QPen(colour.darker(200), std::max(1, width / 400)));
        const QRectF shape(random.bounded(width) - width / 8, random.bounded(height) - height / 8,
                           width / 16 + random.bounded(width / 3), height / 16 + random.bounded(height / 3));
        if (i % 3 == 0)
            painter.drawRect(shape);
        else
            painter.drawEllipse(shape);
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grain = int(random.bounded(2 * noise + 1)) - noise;
            const auto channel = [grain](int value) { return std::clamp(value + grain, 0, 255); };
            line[x] = qRgb(channel(qRed(line[x])), channel(qGreen(line[x])), channel(qBlue(line[x])));
        }
    }
    return image;
}

// "JPEG" at this quality, "PNG" whatever the quality; progressive JPEG when asked.
inline QByteArray encoded(const QImage& image, const char* format, int quality = -1, bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

// The root mean square of the difference of two pictures of one size, over
// their red, green and blue values (0 to 255); infinite when their sizes differ.
inline double rmse(const QImage& one, const QImage& other)
{
    if (one.size() != other.size() || one.isNull())
        return std::numeric_limits<double>::infinity();
    const QImage a = one.convertToFormat(QImage::Format_RGB32);
    const QImage b = other.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb* lineA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const QRgb* lineB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int red = qRed(lineA[x]) - qRed(lineB[x]);
            const int green = qGreen(lineA[x]) - qGreen(lineB[x]);
            const int blue = qBlue(lineA[x]) - qBlue(lineB[x]);
            sum += red * red + green * green + blue * blue;
        }
    }
    return std::sqrt(sum / (3.0 * a.width() * a.height()));
}

// What a thumbnail of these bytes should show: the whole picture, fitting
// edge x edge, never enlarged.
inline QImage expectedThumbnail(const QByteArray& bytes, int edge = 180)
{
    const QImage image = QImage::fromData(bytes);
    if (image.width() <= edge && image.height() <= edge)
        return image;
    return image.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// A progressive JPEG whose last refinement scan of the brightness comes
// again and again: a few bytes each, and each another pass over every block
// of the picture.
inline QByteArray repeatingScan(const QByteArray& jpeg, int repeats)
{
    // Scans and where they end: each runs from its marker to the next one
    // that is not a stuffed zero or a restart.
    QList<std::pair<qsizetype, qsizetype>> scans;
    for (qsizetype at = 2; at + 4 <= jpeg.size();) {
        const uchar marker = uchar(jpeg[at + 1]);
        if (marker == 0xd9)
            break;
        const qsizetype start = at;
        at += 2 + ((uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]));
        if (marker != 0xda)
            continue;
        while ((at = jpeg.indexOf('\xff', at)) >= 0
               && (jpeg[at + 1] == 0 || (uchar(jpeg[at + 1]) >= 0xd0 && uchar(jpeg[at + 1]) <= 0xd7)))
            at += 2;
        if (at < 0)
            return {};
        scans.append({ start, at });
    }
    if (scans.size() < 2)
        return {};
    const auto [start, end] = scans[scans.size() - 2];
    QByteArray bomb = jpeg.first(scans.last().second);
    for (int i = 0; i < repeats; ++i)
        bomb += jpeg.sliced(start, end - start);
    return bomb + jpeg.sliced(scans.last().second);
}

// A few hundred bytes that declare width x height, with repeats more scans.
inline QByteArray scanBomb(int width, int height, int repeats)
{
    return repeatingScan(progressiveJpegDeclaring(width, height), repeats);
}

// The processes this one has started, from /proc (each thread's own list).
inline QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/children")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& child : file.readAll().split(' ')) {
            if (!child.trimmed().isEmpty())
                children.append(child.trimmed().toLongLong());
        }
    }
    return children;
}

// Whether a process runs still: there, and not a zombie waiting to be reaped.
inline bool isRunning(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    return !status.readAll().contains("\nState:\tZ");
}

} // namespace ServiceTest
