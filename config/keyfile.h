#pragma once

#include <QString>
#include <QStringList>

// The keys the node logs in with: the white-space separated words of the file base + ".key".
namespace KeyFile {

// A key file beyond this is not read.
constexpr qint64 MaxSize = 1 << 20;

// The keys, with a diagnostic for each reason there are none (it cannot be opened, is not a
// regular file, is too large or empty): then the list is empty. Only a regular file is read:
// a pipe or a device could block the node or never end.
QStringList read(const QString &base);

// A line saying how to close the key file to other users when anyone may read it; else empty.
QString openToAnyone(const QString &base);

} // namespace KeyFile
