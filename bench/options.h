// The bench's command line.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Options
{
    std::string node;
    std::vector<int> sizes{10, 1000, 10000};
    double seconds = 1.0;
    int rounds = 2000;
    int active = 10;
    bool redis = true;
};

[[noreturn]] void usage(int status);
Options parse(int argc, char **argv);

} // namespace bench
