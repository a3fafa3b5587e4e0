// The configuration's item splitter and comment stripper: the comment goes from the first '#'
// outside quotes, and taking items one by one walks the whole text, piece by piece.
#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>

#include "config/items.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// What separates items: ASCII white space only.
bool isSeparator(QChar c)
{
    return QStringView(u" \t\n\v\f\r").contains(c);
}

void checkComment(const QString &line)
{
    const QStringView text = stripComment(QStringView(line));
    require(line.startsWith(text));
    require(text.size() == line.size() || line.at(text.size()) == QLatin1Char('#'));
    require(stripComment(text) == text);
}

void checkItems(const QString &text)
{
    QString left = text;
    QString item;
    for (qsizetype steps = 0;; ++steps) {
        require(steps <= text.size());
        const QString rest = takeItem(left, item);
        qsizetype start = 0;
        while (start < left.size() && isSeparator(left.at(start)))
            ++start;
        const QStringView taken = QStringView(left).mid(start);
        if (taken.isEmpty()) {
            require(item.isEmpty() && rest.isEmpty());
            return;
        }
        if (taken.front() == QLatin1Char('"')) {
            // Up to the closing quote, or to the end when there is none.
            require(!item.contains(QLatin1Char('"')));
            const QString closed = QLatin1Char('"') + item + QLatin1Char('"') + rest;
            require(taken == closed || (rest.isEmpty() && taken == QLatin1Char('"') + item));
        } else {
            require(!item.isEmpty() && !std::any_of(item.begin(), item.end(), isSeparator));
            require(taken == item + rest && (rest.isEmpty() || isSeparator(rest.front())));
        }
        require(rest.size() < left.size());
        left = rest;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    checkComment(line);
    checkItems(line);
    checkItems(stripComment(QStringView(line)).toString());
    return 0;
}
