#pragma once

#include <QByteArray>
#include <QByteArrayView>

// An image's id: ten characters from an alphabet without look-alikes
// ("k3x9pq2mzt"), safe in a file name, an object key and a link.
namespace ImageId {

// "k3x9pq2mzt" -> true; "../etc" -> false; "K3X9PQ2MZT" -> false
bool isValid(QByteArrayView id);
// A new id at random; whoever keeps it checks that it is not taken.
QByteArray draw();

} // namespace ImageId
