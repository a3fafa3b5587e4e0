#include "report.h"

#include "common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>

namespace bench {

namespace {

std::string format(const char *form, double v)
{
    char b[32];
    std::snprintf(b, sizeof b, form, v);
    return std::isnan(v) ? "-" : b;
}

// Three significant digits with k or M.
std::string rateText(double v)
{
    const char *unit = v >= 1e6 ? "M" : v >= 1e3 ? "k" : "";
    const double x = v >= 1e6 ? v / 1e6 : v >= 1e3 ? v / 1e3 : v;
    return std::isnan(v) ? "-" : format(x >= 100 ? "%.0f" : x >= 10 ? "%.1f" : "%.2f", x) + unit;
}

std::string latencyText(const Stat &s)
{
    const char *form = s.v < 10 ? "%.1f" : "%.0f";
    return format(form, s.v) + " / " + format(form, s.p99) + " / " + format(form, s.max);
}

size_t widthOf(const std::string &s)   // in UTF-8 characters
{
    return size_t(std::count_if(s.begin(), s.end(), [](char ch) { return (ch & 0xC0) != 0x80; }));
}

} // namespace

void printTable(const Options &o, const std::vector<Figures> &sizes, const Ref &peer, const Ref &redis)
{
    // r: rate and l: latency, both beside the references; e: rate alone; n: plain number
    static const std::pair<const char *, char> rows[FigCount] = {
        {"start-up (fork to first priming line), ms", 'n'},
        {"pipelined Help, replies/s", 'r'},
        {"pipelined GetChInfo, replies/s", 'r'},
        {"pipelined IsBusy, replies/s", 'r'},
        {"pipelined undefined word, replies/s", 'r'},
        {"Help one at a time, µs p50 / p99 / max", 'l'},
        {"GetValue one at a time, µs p50 / p99 / max", 'l'},
        {"SetValue one at a time, µs p50 / p99 / max", 'l'},
        {"relay: controller events in/s", 'e'},
        {"relay: alias events out/s", 'e'},
        {"peak RSS (VmHWM), MiB", 'n'},
    };
    std::vector<std::vector<std::string>> t{{"figure"}};
    for (int n : o.sizes)
        t[0].push_back(std::to_string(n));
    t[0].insert(t[0].end(), {"peer", "redis-server"});
    for (int fig = 0; fig < FigCount; ++fig) {
        const char kind = rows[fig].second;
        const bool compared = kind == 'r' || kind == 'l';
        std::vector<std::string> cells{rows[fig].first};
        std::vector<std::string> ratios{kind == 'l' ? "  p99 node/peer, node/redis-server" : "  node/peer, node/redis-server"};
        for (const Figures &f : sizes) {
            const Stat &s = f[size_t(fig)];
            cells.push_back(kind == 'l' ? latencyText(s) : kind == 'n' ? format("%.1f", s.v) : rateText(s.v));
            const auto ratio = [&](const Ref &ref) {
                return kind == 'l' ? format("%.2f", s.p99 / ref.lat.p99) : format("%.2f", s.v / ref.rate.v);
            };
            ratios.push_back(ratio(peer) + ", " + ratio(redis));
        }
        for (const Ref *ref : {&peer, &redis}) {
            cells.push_back(!compared ? "" : !ref->absent.empty() ? ref->absent : kind == 'r' ? rateText(ref->rate.v) : latencyText(ref->lat));
            ratios.push_back("");
        }
        t.push_back(cells);
        if (compared)
            t.push_back(ratios);
    }

    std::vector<size_t> width(t[0].size());
    for (const auto &row : t)
        for (size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], widthOf(row[i]));
    for (size_t r = 0; r < t.size(); ++r) {
        for (size_t i = 0; i < width.size(); ++i) {
            const std::string pad(width[i] - widthOf(t[r][i]), ' ');
            std::printf("| %s ", (i == 0 ? t[r][i] + pad : pad + t[r][i]).c_str());
        }
        std::printf("|\n");
        if (r == 0) {   // labels left-aligned, figures right-aligned
            for (size_t i = 0; i < width.size(); ++i)
                std::printf("|%s%c", std::string(width[i] + 1, '-').c_str(), i == 0 ? '-' : ':');
            std::printf("|\n");
        }
    }
}

std::string cpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (startsWith(line, "model name"))
            return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

} // namespace bench
