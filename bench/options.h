// The bench's command line.
#pragma once

#include <optional>
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

// What the command line asks for: options to run with, or none and the status to end with once
// the usage text is printed (0 for --help, 2 for an option it does not take).
struct Parsed
{
    std::optional<Options> options;
    int status = 0;
};

Parsed parse(int argc, char **argv);
// The usage text, on stdout for status 0, else on stderr.
void usage(int status);

} // namespace bench
