#include "bus/smsg.h"

#include <QHash>
#include <QStringTokenizer>

#include "bus/vocabulary.h"

namespace {

// The vocabulary by name; names are unique, so this finds what a walk in table order finds.
const VocabEntry *findWord(QStringView word)
{
    static const QHash<QStringView, const VocabEntry *> byName = [] {
        QHash<QStringView, const VocabEntry *> index;
        for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e)
            index.insert(e->name, e);
        return index;
    }();
    return byName.value(word, nullptr);
}

int kindOf(const VocabEntry *entry)
{
    if (!entry)
        return KindNotFound;
    if (entry->name.startsWith(QLatin1Char('@')))
        return KindReply;
    if (entry->name.startsWith(QLatin1Char('_')))
        return KindEvent;
    return KindCommand;
}

// Node and sub-address of an address; the node shares the address's text when there is no dot.
void splitInto(const QString &address, QString &node, QString &ch)
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

} // namespace

void SMsg::splitAddress(const QString &address, QString &node, QString &ch)
{
    splitInto(address, node, ch);
}

int SMsg::Parse(QString line)
{
    return parseSimplified(std::move(line).simplified());
}

int SMsg::parseSimplified(QStringView line)
{
    *this = SMsg();

    const qsizetype arrow = line.indexOf(QLatin1Char('>'));
    const qsizetype space = line.indexOf(QLatin1Char(' '));
    if (arrow < 0 || (space >= 0 && space < arrow)) {
        // No arrow, or a sender part that holds a space: this is no bus line.
        params = line.toString();
        return form;
    }

    from = line.left(arrow).toString();
    splitInto(from, fromNode, fromCh);

    if (space < 0) {
        params = line.mid(arrow + 1).toString();
        return form;
    }

    to = line.mid(arrow + 1, space - arrow - 1).toString();
    splitInto(to, toNode, toCh);

    form = space + 1 < line.size() && line.at(space + 1) == QLatin1Char('_') ? FormEvent : FormMessage;

    const qsizetype second = line.indexOf(QLatin1Char(' '), space + 1);
    const QStringView word = second < 0 ? line.mid(space + 1) : line.mid(space + 1, second - space - 1);
    const VocabEntry *entry = findWord(word);
    // A known word shares the vocabulary's own text.
    command = entry ? entry->name : word.toString();
    cmdId = entry ? entry->id : int(VocabEnd);
    cmdKind = kindOf(entry);

    // A channel stands first among the arguments and replaces the parameter text.
    if (!toCh.isEmpty()) {
        params = toCh;
        args.append(toCh);
    }
    if (second >= 0) {
        const QStringView rest = line.mid(second + 1);
        if (toCh.isEmpty())
            params = rest.toString();
        for (const QStringView part : qTokenize(rest, QLatin1Char(' '), Qt::SkipEmptyParts))
            args.append(part.toString());
    }
    return form;
}

void SMsg::FindCommand()
{
    const VocabEntry *entry = findWord(command);
    cmdId = entry ? entry->id : int(VocabEnd);
    cmdKind = kindOf(entry);
}
