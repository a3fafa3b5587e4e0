#pragma once

#include <QByteArray>

// Tells the service manager that started the node how it is doing ("READY=1", "STATUS=...")
// through the datagram socket named in NOTIFY_SOCKET; does nothing when that is not set.
void notifyServiceManager(const QByteArray &state);
