#pragma once

#include <QString>
#include <QStringView>

// Numbers on the bus are text; these are the node's rules for reading and writing them.

// The text of a number as the bus shows it: six significant digits.
QString numberText(double v);
// A number text as QString::toDouble reads it, false when it is none.
bool readNumber(QStringView text, double &out);
// A number text where anything that is not a number counts as 0.
double numberOf(QStringView text);
