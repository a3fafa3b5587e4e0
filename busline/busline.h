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

// What is wrong with a command line the parser refused, as one line: "unknown option --bogus",
// "missing value after '--port'".
QString usageError(const QCommandLineParser &parser);

} // namespace BusLine
