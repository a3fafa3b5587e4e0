// The figures: what the bench measures on the node at one size and on each reference.
#pragma once

#include "options.h"

#include <array>
#include <cmath>
#include <string>

namespace bench {

// A figure: a rate in v, or a latency with p50 in v.
struct Stat
{
    double v = NAN, p99 = NAN, max = NAN;
};

// A reference: its pipelined rate and one-at-a-time latency, or why it has none.
struct Ref
{
    Stat rate, lat;
    std::string absent;
};

enum Fig { Startup, PipeHelp, PipeChInfo, PipeIsBusy, PipeNonsense, OneHelp, OneGet, OneSet, RelayIn, RelayOut, Rss, FigCount };
using Figures = std::array<Stat, FigCount>;

Ref measurePeer(const Options &o);
Ref measureRedis(const Options &o);
// Every figure at n definitions, with the node connecting to the listener at port; those not
// reached stay empty. False when the node never logged in.
bool measureNode(const Options &o, int listener, int port, int n, Figures &f);

} // namespace bench
