#pragma once

#include "config/diagnostic.h"

class Definitions;
class Orvex;
class ParamStore;
class QTextStream;

// The problems a start of the configuration read into params would trip on, added to findings
// (which holds what reading it reported): its definitions built into defs as a start builds
// them, writing through link; unknown keys; the bus settings and the key file. Returns the
// number of keys the key file holds.
qsizetype findProblems(const ParamStore &params, Findings &findings, Definitions &defs, Orvex *link);

// zerlint --check: prints the definitions, the bus settings and every problem, without
// connecting. 0 when there is none, else 1.
int checkConfiguration(const ParamStore &params, Findings &findings, QTextStream &out);

// A finding with its file and line, as it is listed.
QString located(const Finding &finding);

// The known key closest to an unknown one, or empty when none is close.
QString nearestKey(const QString &key);
