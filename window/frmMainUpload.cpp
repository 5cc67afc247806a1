// Placeholder until the transports land.
#include "frmMain.h"

#include "InetControl.h"
#include "WinsockControl.h"

void frmMain::SetupTransports() {}
void frmMain::cmdInet_Click() {}
void frmMain::Inet_StateChanged(int) {}
void frmMain::cmdWinsock_Click() {}
void frmMain::Winsock_Connect() {}
void frmMain::Winsock_DataArrival(qint64) {}
void frmMain::Winsock_Error(int, const QString&) {}
