#pragma once

#include "config/diagnostic.h"

class QTextStream;

// zerlint --check: builds the node from the configuration read into gParams as a start would,
// without connecting; prints the definitions and every problem. 0 when there is none, else 1.
// findings holds what reading the configuration reported already.
int checkConfiguration(Findings &findings, QTextStream &out);

// The known key closest to an unknown one, or empty when none is close.
QString nearestKey(const QString &key);
