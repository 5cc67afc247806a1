#include "ImageId.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

constexpr QByteArrayView kAlphabet = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr qsizetype kLength = 10;

} // namespace

namespace ImageId {

bool isValid(QByteArrayView id)
{
    return id.size() == kLength && std::all_of(id.begin(), id.end(), [](char c) { return kAlphabet.contains(c); });
}

QByteArray draw()
{
    QByteArray id;
    for (qsizetype i = 0; i < kLength; ++i)
        id.append(kAlphabet[QRandomGenerator::global()->bounded(int(kAlphabet.size()))]);
    return id;
}

} // namespace ImageId
