#include "bus/smsg.h"

#include "bus/vocabulary.h"

void SMsg::splitAddress(const QString &address, QString &node, QString &ch)
{
    const qsizetype dot = address.indexOf(QLatin1Char('.'));
    if (dot < 0) {
        node = address;
        ch.clear();
    } else {
        node = address.left(dot);
        ch = address.mid(dot + 1);
    }
}

int SMsg::Parse(QString line)
{
    *this = SMsg();
    form = FormIncomplete;
    cmdKind = KindNotFound;

    line = line.simplified();

    const qsizetype arrow = line.indexOf(QLatin1Char('>'));
    if (arrow < 0) {
        params = line;
        return form;
    }
    const qsizetype space = line.indexOf(QLatin1Char(' '));
    if (space >= 0 && space < arrow) {
        // "a b>c d": the sender part holds a space, so this is no bus line.
        params = line;
        return form;
    }

    from = line.left(arrow);
    splitAddress(from, fromNode, fromCh);

    if (space < 0) {
        params = line.mid(arrow + 1);
        return form;
    }

    to = line.mid(arrow + 1, space - arrow - 1);
    splitAddress(to, toNode, toCh);

    form = line.at(space + 1) == QLatin1Char('_') ? FormEvent : FormMessage;

    const qsizetype second = line.indexOf(QLatin1Char(' '), space + 1);
    if (second < 0) {
        command = line.mid(space + 1);
        FindCommand();
        if (!toCh.isEmpty()) {
            params = toCh;
            args = QStringList{toCh};
        }
    } else {
        command = line.mid(space + 1, second - space - 1);
        FindCommand();
        params = line.mid(second + 1).simplified();
        args = params.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!toCh.isEmpty()) {
            args.prepend(toCh);
            params = toCh;
        }
    }
    return form;
}

void SMsg::FindCommand()
{
    cmdId = VocabEnd;
    cmdKind = KindNotFound;
    for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
        if (e->name == command) {
            cmdId = e->id;
            if (e->name.startsWith(QLatin1Char('@')))
                cmdKind = KindReply;
            else if (e->name.startsWith(QLatin1Char('_')))
                cmdKind = KindEvent;
            else
                cmdKind = KindCommand;
            return;
        }
    }
}
