#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// What the service needs to know about image bytes: their type, and a small
// preview. Uploads are untrusted; nothing here may fail on any input.
namespace ImageCodec {

constexpr int kThumbnailEdge = 180;
// Pictures that declare more are not decoded for a thumbnail: a few bytes
// can declare a picture of gigabytes, and a thumbnail needs no more.
constexpr qint64 kMaxDecodedPixels = 50'000'000;
// Each scan of a progressive JPEG is another pass over all of the picture's
// coefficients, and a few bytes make one: real encoders write about ten.
constexpr int kMaxJpegScans = 32;
// A PNG's chunks each cost a read and a check; encoders write a few hundred
// at most within an upload's size.
constexpr int kMaxPngChunks = 8192;

// "\x89PNG\r\n\x1a\n..." -> "image/png"; "GIF89a..." -> "image/gif"; "hello", "<svg" -> "application/octet-stream"
QByteArray mimeTypeOf(QByteArrayView bytes);

// Why these bytes are not worth decoding for a thumbnail, read from their
// structure alone without a decoder; empty when they are. Cheap enough for
// the service itself.
// a 640x480 PNG -> ""; "hello" -> "not a PNG, JPEG, GIF or BMP";
// a JPEG of 300 scans -> "300 scans"; a PNG declaring 32700x32700 -> "32700 by 32700 pixels"
QString overBudget(QByteArrayView bytes);

struct Thumbnail
{
    QByteArray jpeg;
    bool placeholder = false; // the upload was not decoded
};

// A JPEG that fits edge x edge, never enlarged. The placeholder for bytes
// that are not a PNG, JPEG, GIF or BMP (so never a vector picture, which
// could reach for other files), that are overBudget(), or that do not
// decode. The decoders' own memory is not bounded here: run this where the
// process as a whole is (see ThumbnailMaker).
Thumbnail thumbnailOf(const QByteArray& bytes, int edge = kThumbnailEdge);

// A grey card with a cross: "no preview".
QByteArray placeholderJpeg();

} // namespace ImageCodec
