// The line split: its parts re-join to the line, agree with the vocabulary and do not depend on
// what the record, reused from line to line as the link reuses it, held before.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>

#include "bus/smsg.h"
#include "bus/vocabulary.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool hasSpace(const QString &s)
{
    return std::any_of(s.begin(), s.end(), [](QChar c) { return c.isSpace(); });
}

bool same(const SMsg &a, const SMsg &b)
{
    return a.from == b.from && a.to == b.to && a.toCh == b.toCh && a.command == b.command
        && a.params == b.params && a.args == b.args && a.form == b.form && a.cmdId == b.cmdId;
}

SMsg parsed(const QString &line)
{
    SMsg m;
    require(m.Parse(line) == m.form);
    return m;
}

void check(const SMsg &m, const QString &line)
{
    const QString simple = line.simplified();
    require(!m.from.contains(QLatin1Char('>')) && !hasSpace(m.from) && !hasSpace(m.to));
    // The channel is what follows the receiver's first dot.
    const qsizetype dot = m.to.indexOf(QLatin1Char('.'));
    require(m.toCh == (dot < 0 ? QString() : m.to.mid(dot + 1)));
    for (const QString &arg : m.args)
        require(!arg.isEmpty() && !hasSpace(arg));

    int row = VocabEnd;
    for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
        if (e->name == m.command)
            row = e->id;
    }
    const QChar first = m.command.isEmpty() ? QChar() : m.command.front();
    require(m.cmdId == row);

    // A bus line has its arrow ahead of its first space.
    const qsizetype arrow = simple.indexOf(QLatin1Char('>'));
    const qsizetype space = simple.indexOf(QLatin1Char(' '));
    require((m.form != FormIncomplete) == (arrow >= 0 && space > arrow));
    if (m.form == FormIncomplete) {
        const bool addressed = arrow >= 0 && space < 0;
        require(m.command.isEmpty() && m.args.isEmpty() && m.to.isEmpty() && m.cmdId == VocabEnd);
        require(m.from == (addressed ? simple.left(arrow) : QString()));
        require(m.params == (addressed ? simple.mid(arrow + 1) : simple));
        return;
    }

    require(!m.command.isEmpty() && !hasSpace(m.command));
    require((m.form == FormEvent) == (first == QLatin1Char('_')));
    // With a channel, params is the channel and the parameters follow it among the arguments.
    QStringList parameters = m.args;
    if (!m.toCh.isEmpty()) {
        require(m.params == m.toCh && m.args.value(0) == m.toCh);
        parameters.removeFirst();
    } else {
        require(m.params == parameters.join(QLatin1Char(' ')));
    }
    QString joined = m.from + QLatin1Char('>') + m.to + QLatin1Char(' ') + m.command;
    if (!parameters.isEmpty())
        joined += QLatin1Char(' ') + parameters.join(QLatin1Char(' '));
    require(joined == simple && same(parsed(joined), m));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Two lines: the second is parsed in between into the reused record.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = bytes.indexOf('\n');
    const QString a = QString::fromUtf8(cut < 0 ? bytes : bytes.left(cut));
    const QString b = cut < 0 ? QString() : QString::fromUtf8(bytes.mid(cut + 1));

    const SMsg first = parsed(a);
    const SMsg second = parsed(b);
    check(first, a);
    check(second, b);
    SMsg direct;
    direct.parseSimplified(a.simplified());
    require(same(direct, first));
    QString room;   // the bytes as the link splits them, decoded on the way
    direct.parseBytes(cut < 0 ? bytes : bytes.left(cut), room);
    require(same(direct, first));

    SMsg reused;
    reused.Parse(a);
    reused.Parse(a);
    require(same(reused, first));
    const SMsg kept = reused;   // a receiver's copy must not change with the next line
    reused.Parse(b);
    require(same(reused, second) && same(kept, first));
    reused.Parse(a);
    require(same(reused, first));
    return 0;
}
