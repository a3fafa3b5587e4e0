#pragma once

#include <QByteArray>

// Tells the service manager that started the node how it is doing ("READY=1", "STATUS=...")
// through the datagram socket named in NOTIFY_SOCKET; does nothing when that is not set.
void notifyServiceManager(const QByteArray &state);

// When the standard error stream is the journal (JOURNAL_STREAM names its device and inode) and
// the operator has set no QT_MESSAGE_PATTERN, every line starts with its priority: "<3>" for
// critical, "<4>" warning, "<6>" info, "<7>" debug.
void markJournalPriorities();
