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

// Replaces the text, in the string's own buffer when nobody else holds it.
void setText(QString &field, QStringView text)
{
    if (field.isDetached() && field.capacity() >= text.size()) {
        field.resize(text.size());
        std::copy(text.begin(), text.end(), field.begin());
    } else {
        field = text.toString();
    }
}

// The same for an address and its two parts, split at its first dot (-1: none); without a dot
// the node is the address, and shares its text.
void setAddress(QStringView address, qsizetype dot, QString &full, QString &node, QString &ch)
{
    if (node.constData() == full.constData())
        node.clear();
    setText(full, address);
    if (dot < 0)
        node = full;
    else
        setText(node, address.left(dot));
    setText(ch, dot < 0 ? QStringView() : address.mid(dot + 1));
}

} // namespace

void SMsg::splitAddress(const QString &address, QString &node, QString &ch)
{
    const qsizetype dot = address.indexOf(QLatin1Char('.'));
    node = dot < 0 ? address : address.left(dot);
    ch = dot < 0 ? QString() : address.mid(dot + 1);
}

int SMsg::Parse(QString line)
{
    return parseSimplified(std::move(line).simplified());
}

int SMsg::parseSimplified(QStringView line)
{
    // The addresses and their parts keep their buffers from line to line, unless a receiver
    // kept a copy; what may share the channel's text is let go first.
    command.clear();
    params.clear();
    args.clear();
    form = FormIncomplete;
    cmdId = VocabEnd;
    cmdKind = KindNotFound;

    // One pass finds the arrow, the first two spaces and the first dot of each address.
    qsizetype arrow = -1, space = -1, second = -1, fromDot = -1, toDot = -1;
    for (qsizetype i = 0; i < line.size() && second < 0; ++i) {
        switch (line[i].unicode()) {
        case '>':
            if (arrow < 0)
                arrow = i;
            break;
        case ' ':
            (space < 0 ? space : second) = i;
            break;
        case '.':
            if (arrow < 0 && fromDot < 0)
                fromDot = i;
            else if (arrow >= 0 && space < 0 && toDot < 0)
                toDot = i;
            break;
        }
        if (space >= 0 && arrow < 0)
            break;
    }

    if (arrow < 0) {
        // No arrow, or a sender part that holds a space: this is no bus line.
        setAddress(QStringView(), -1, from, fromNode, fromCh);
        setAddress(QStringView(), -1, to, toNode, toCh);
        params = line.toString();
        return form;
    }
    setAddress(line.left(arrow), fromDot, from, fromNode, fromCh);

    if (space < 0) {
        setAddress(QStringView(), -1, to, toNode, toCh);
        params = line.mid(arrow + 1).toString();
        return form;
    }
    setAddress(line.mid(arrow + 1, space - arrow - 1), toDot < 0 ? -1 : toDot - arrow - 1, to, toNode, toCh);

    form = space + 1 < line.size() && line[space + 1] == QLatin1Char('_') ? FormEvent : FormMessage;

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
