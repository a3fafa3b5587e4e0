#include "config/items.h"

#include "config/diagnostic.h"

namespace {

// Item separators: the ASCII white space of a regular expression's \s.
bool isItemSpace(QChar c)
{
    switch (c.unicode()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
        return true;
    default:
        return false;
    }
}

} // namespace

QString stripComment(const QString &line)
{
    bool inside = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\''))
            inside = !inside;
        else if (c == QLatin1Char('#') && !inside)
            return line.left(i);
    }
    return line;
}

QString takeItem(const QString &text, QString &item)
{
    item.clear();
    qsizetype start = 0;
    while (start < text.size() && isItemSpace(text.at(start)))
        ++start;
    if (start >= text.size())
        return QString();

    if (text.at(start) == QLatin1Char('"')) {
        const qsizetype close = text.indexOf(QLatin1Char('"'), start + 1);
        if (close < 0) {
            Diagnostic() << QStringLiteral("In a line [%1] item is started from quote but not ended by quote").arg(text);
            item = text.mid(start + 1);
            return QString();
        }
        item = text.mid(start + 1, close - start - 1);
        return text.mid(close + 1);
    }

    qsizetype end = start;
    while (end < text.size() && !isItemSpace(text.at(end)))
        ++end;
    item = text.mid(start, end - start);
    if (item.endsWith(QLatin1Char('"')))
        Diagnostic() << QStringLiteral("In a line [%1] item is started from not quote but ended by quote").arg(text);
    return end < text.size() ? text.mid(end) : QString();
}
