#include "devices/numbers.h"

#include <charconv>
#include <cmath>

QString numberText(double v)
{
    // A whole number below a million has no exponent and no fraction in six digits, so its
    // integer text is the same and much cheaper to make (minus zero is left to Qt).
    if (std::fabs(v) < 1e6 && v == std::trunc(v) && !(v == 0 && std::signbit(v)))
        return QString::number(qint64(v));
    return QString::number(v, 'g', 6);
}

bool readNumber(QStringView text, double &out)
{
    // Plain decimals, the texts controllers send, are read without the locale machinery;
    // they are short enough that neither can overflow. Everything else as Qt reads it.
    constexpr qsizetype PlainDigits = 24;
    char plain[PlainDigits];
    qsizetype length = 0;
    bool digits = false, point = false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool digit = u >= '0' && u <= '9';
        if (length == PlainDigits || !(digit || (u == '-' && length == 0) || (u == '.' && digits && !point))) {
            length = -1;
            break;
        }
        digits |= digit;
        point |= u == '.';
        plain[length++] = char(u);
    }
    if (length > 0 && digits && plain[length - 1] != '.') {
        const auto [end, error] = std::from_chars(plain, plain + length, out);
        if (error == std::errc() && end == plain + length)
            return true;
    }
    bool ok = false;
    out = text.toDouble(&ok);
    return ok;
}

double numberOf(QStringView text)
{
    double v = 0;
    return readNumber(text, v) ? v : 0.0;
}
