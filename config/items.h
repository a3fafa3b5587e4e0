#pragma once

#include <QString>
#include <QStringView>

// The line without its comment: text before the first '#' outside quotes
// (double quotes and apostrophes share one quote state).
QStringView stripComment(QStringView line);

// Cuts the first item (bare or double-quoted) off text into item and returns what follows it;
// the view form reads text in place, so text must not be a view of item.
QStringView takeItem(QStringView text, QString &item);
QString takeItem(const QString &text, QString &item);
