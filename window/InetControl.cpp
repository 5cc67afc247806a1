// Placeholder until the HTTP client transport lands.
#include "InetControl.h"

#include <QNetworkAccessManager>

InetControl::InetControl(QObject* parent) : QObject(parent), m_manager(new QNetworkAccessManager(this)) {}
InetControl::~InetControl() = default;

void InetControl::Execute(const QString&, const QString&, const std::string&, const std::string&) {}
std::string InetControl::GetChunk(int, int) { return {}; }
void InetControl::Cancel() {}
