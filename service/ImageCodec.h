#pragma once

#include <QByteArray>
#include <QByteArrayView>

// What the service needs to know about image bytes: their type, and a small
// preview. Uploads are untrusted; nothing here may fail on any input.
namespace ImageCodec {

// "\x89PNG\r\n\x1a\n..." -> "image/png"; "GIF89a..." -> "image/gif"; "hello" -> "application/octet-stream"
QByteArray mimeTypeOf(QByteArrayView bytes);

struct Thumbnail
{
    QByteArray bytes;
    QByteArray mimeType;
    bool placeholder = false; // the upload could not be decoded
};

constexpr int kThumbnailEdge = 180;

// A JPEG that fits edge x edge, never enlarged; a plain grey picture when
// the bytes are no image Qt can read.
Thumbnail thumbnailOf(const QByteArray& bytes, int edge = kThumbnailEdge);

} // namespace ImageCodec
