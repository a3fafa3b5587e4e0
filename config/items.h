#pragma once

#include <QString>

// The line without its comment: text before the first '#' outside quotes
// (double quotes and apostrophes share one quote state).
QString stripComment(const QString &line);

// Cuts the first item (bare or double-quoted) off text into item and returns what follows it.
QString takeItem(const QString &text, QString &item);
