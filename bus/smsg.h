#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// How a line split: a message, an event, or something that is not a bus line.
enum LineForm { FormMessage = 0, FormEvent = 1, FormIncomplete = 2 };

// Class of a command word, from the vocabulary.
enum WordKind { KindCommand = 0, KindReply = 1, KindEvent = 2, KindNotFound = 3 };

// One bus message split into its parts. A value type: every signal carries its own copy.
class SMsg
{
public:
    QString from;      // full sender address
    QString fromNode;
    QString fromCh;
    QString to;        // full receiver address
    QString toNode;
    QString toCh;      // the channel the message is addressed to
    QString command;
    QString params;
    QStringList args;  // parameters one by one, toCh in front when given
    int form = FormIncomplete;
    int cmdId = 26;
    int cmdKind = KindNotFound;

    int Parse(QString line);
    // The split of a line that is simplified already: single spaces, none at either end.
    int parseSimplified(QStringView line);
    void FindCommand();

    // Node part (before the first '.') and sub-address (after it, or empty) of an address.
    static void splitAddress(const QString &address, QString &node, QString &ch);
};

Q_DECLARE_METATYPE(SMsg)
