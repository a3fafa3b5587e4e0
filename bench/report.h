// The bench's report: the table of figures beside the references, and what describes the machine.
#pragma once

#include "measure.h"
#include "options.h"

#include <string>
#include <vector>

namespace bench {

// One column per size in o.sizes (sizes holds their figures), then the two references.
void printTable(const Options &o, const std::vector<Figures> &sizes, const Ref &peer, const Ref &redis);
std::string cpuModel();

} // namespace bench
