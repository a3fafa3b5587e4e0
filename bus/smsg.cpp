#include "bus/smsg.h"

#include <QHash>
#include <QStringTokenizer>

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

} // namespace

LineForm SMsg::Parse(QString line)
{
    return parseSimplified(std::move(line).simplified());
}

LineForm SMsg::parseBytes(QByteArrayView bytes, QString &room)
{
    // An ASCII line is simplified and decoded in one pass; any other is decoded as UTF-8 and
    // simplified as a whole, so Unicode white space counts as well.
    room.resize(bytes.size());
    QChar *out = room.data();
    qsizetype length = 0;
    bool gap = false;
    for (const char c : bytes) {
        if (c & 0x80)
            return Parse(QString::fromUtf8(bytes));
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            gap = length > 0;
            continue;
        }
        if (gap) {
            out[length++] = QLatin1Char(' ');
            gap = false;
        }
        out[length++] = QLatin1Char(c);
    }
    return parseSimplified(QStringView(out, length));
}

LineForm SMsg::parseSimplified(QStringView line)
{
    // The addresses keep their buffers from line to line, unless a receiver kept a copy.
    command.clear();
    params.clear();
    args.clear();
    form = FormIncomplete;
    cmdId = VocabEnd;

    // One pass finds the arrow, the first two spaces and the first dot of the receiver.
    qsizetype arrow = -1, space = -1, second = -1, toDot = -1;
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
            if (arrow >= 0 && space < 0 && toDot < 0)
                toDot = i;
            break;
        }
        if (space >= 0 && arrow < 0)
            break;
    }

    if (arrow < 0) {
        // No arrow, or a sender part that holds a space: this is no bus line.
        from.clear();
        to.clear();
        toCh.clear();
        params = line.toString();
        return form;
    }
    setText(from, line.left(arrow));

    if (space < 0) {
        to.clear();
        toCh.clear();
        params = line.mid(arrow + 1).toString();
        return form;
    }
    setText(to, line.mid(arrow + 1, space - arrow - 1));
    setText(toCh, toDot < 0 ? QStringView() : line.mid(toDot + 1, space - toDot - 1));

    form = space + 1 < line.size() && line[space + 1] == QLatin1Char('_') ? FormEvent : FormMessage;

    const QStringView word = second < 0 ? line.mid(space + 1) : line.mid(space + 1, second - space - 1);
    const VocabEntry *entry = findWord(word);
    // A known word shares the vocabulary's own text.
    command = entry ? entry->name : word.toString();
    cmdId = entry ? entry->id : VocabEnd;

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
