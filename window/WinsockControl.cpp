// Placeholder until the socket transport lands.
#include "WinsockControl.h"

#include <QTcpSocket>
#include <QTimer>

WinsockControl::WinsockControl(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_connectTimer(new QTimer(this))
{
}

WinsockControl::~WinsockControl() = default;

void WinsockControl::Close() { m_socket->abort(); }
void WinsockControl::Connect(const QString&, quint16) {}
void WinsockControl::SendData(const std::string&) {}
std::string WinsockControl::GetData() { return {}; }
void WinsockControl::SetConnectTimeout(std::chrono::milliseconds) {}
bool WinsockControl::IsConnected() const { return false; }
