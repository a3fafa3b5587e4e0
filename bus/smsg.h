#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

#include "bus/vocabulary.h"

// How a line split: a message, an event, or something that is not a bus line.
enum LineForm { FormMessage = 0, FormEvent = 1, FormIncomplete = 2 };

// One bus message split into its parts. A value type: every signal carries its own copy.
class SMsg
{
public:
    QString from;      // full sender address
    QString to;        // full receiver address
    QString toCh;      // the channel the message is addressed to: what follows the first '.' of to
    QString command;
    QString params;
    QStringList args;  // parameters one by one, toCh in front when given
    LineForm form = FormIncomplete;
    VocabId cmdId = VocabEnd;   // the word's row in the vocabulary

    LineForm Parse(QString line);
    // The split of a line as it came off the connection, without its "\n": UTF-8, white space
    // simplified as Parse does; room holds the simplified text between calls.
    LineForm parseBytes(QByteArrayView bytes, QString &room);
    // The split of a line that is simplified already: single spaces, none at either end.
    LineForm parseSimplified(QStringView line);
};

Q_DECLARE_METATYPE(SMsg)
