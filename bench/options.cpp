#include "options.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace bench {

void usage(int status)
{
    std::fprintf(status ? stderr : stdout,
                 "usage: zerlint-bench [--node PATH] [--sizes 10,1000,10000] [--seconds S] [--rounds R] [--active K] [--no-redis]\n"
                 "  --node PATH   node binary to measure (default: zerlint beside this program)\n"
                 "  --sizes LIST  numbers of PM and ALIAS definitions, one node run each\n"
                 "  --seconds S   time slice of each rate figure (default 1)\n"
                 "  --rounds R    rounds of each one-at-a-time figure, within the slice (default 2000)\n"
                 "  --active K    aliases and controllers addressed, spread evenly through the list;\n"
                 "                0 addresses all of them (default 10)\n"
                 "  --no-redis    leave redis-server out\n");
}

Parsed parse(int argc, char **argv)
{
    Options o;
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0)
        o.node = std::string(self).substr(0, std::string(self).rfind('/') + 1) + "zerlint";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--node" || arg == "--sizes" || arg == "--seconds" || arg == "--rounds" || arg == "--active";
        if (takesValue && i + 1 == argc)
            return {std::nullopt, 2};
        const std::string value = takesValue ? argv[++i] : "";
        if (arg == "--node") {
            // The node runs in its own folder, so a relative path is made absolute here.
            char *full = realpath(value.c_str(), nullptr);
            o.node = full ? full : value;
            std::free(full);
        } else if (arg == "--sizes") {
            o.sizes.clear();
            std::istringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                o.sizes.push_back(std::atoi(item.c_str()));
        } else if (arg == "--seconds") {
            o.seconds = std::atof(value.c_str());
        } else if (arg == "--rounds") {
            o.rounds = std::atoi(value.c_str());
        } else if (arg == "--active") {
            o.active = std::atoi(value.c_str());
        } else if (arg == "--no-redis") {
            o.redis = false;
        } else {
            return {std::nullopt, arg == "--help" ? 0 : 2};
        }
    }
    if (o.sizes.empty() || *std::min_element(o.sizes.begin(), o.sizes.end()) < 1 || o.seconds <= 0 || o.rounds < 1
        || o.active < 0)
        return {std::nullopt, 2};
    return {o, 0};
}

} // namespace bench
