#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

// How the stand-ins read the bus. The node's own reading is what they test, so they share
// none of it: a fault there must not be made on both sides of the wire.
namespace BusLine {

// A line without '\n' beyond this many bytes is not buffered further.
constexpr qsizetype MaxLength = 1 << 20;

// A line "from>to word params..." with single spaces between its words.
struct Message
{
    QString from;
    QString to;
    QString word;
    QStringList params;
    QString tail;   // the word and its parameters, as written

    // False when the first word holds no '>' or no command word follows it.
    bool split(const QString &simplifiedLine);
};

// An address on either side of its first '.'.
QString nodeOf(const QString &address);
QString channelOf(const QString &address);

// The key a challenge selects: its number modulo the key count; -1 when it is not a whole
// number of 0 or more, or there is no key.
int keyIndex(const QString &challenge, qsizetype keyCount);

// The white-space separated words of a key file, named with or without ".key"; none, and why
// in error, when it cannot be read or holds no key.
QStringList readKeys(QString fileName, QString &error);

// A usage error has a status of its own (64, as in BSD's sysexits), apart from the tools' others.
constexpr int UsageStatus = 64;

// Writes "program: what" on the standard error stream; returns UsageStatus.
int usage(const QString &what);

// Parses the tools' command line and answers --version, --help and --help-all, before anything
// is read or connected. The status to end with now (0, or UsageStatus with the error written),
// or -1 to go on.
int takeCommandLine(QCommandLineParser &parser);

// The --port option, 0 to 65535; false, with the usage error written, for anything else.
bool readPort(const QCommandLineParser &parser, quint16 &port);

} // namespace BusLine
