// zerlint-bench: plays the bus server for the real node and measures it beside two reference
// peers (a minimal line peer built in, and redis-server) driven by the same client code.
// It counts and matches lines itself, so it shares none of the node's logic.

#include "child.h"
#include "conn.h"
#include "measure.h"
#include "options.h"
#include "report.h"

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace bench;

namespace {

// The measurements and the report; the status is 1 when the node never logged in.
int run(const Options &o, int argc, char **argv)
{
    placeOn(0);
    double load = NAN;               // other work on the machine shows in the tails
    getloadavg(&load, 1);

    std::fprintf(stderr, "zerlint-bench: reference peer\n");
    const Ref peer = measurePeer(o);
    std::fprintf(stderr, "zerlint-bench: redis-server\n");
    const Ref redis = measureRedis(o);

    int port = 0;
    const int listener = listenLoopback(port);
    std::vector<Figures> sizes(o.sizes.size());
    int loggedIn = 0;
    for (size_t i = 0; i < o.sizes.size(); ++i) {
        std::fprintf(stderr, "zerlint-bench: node with %d definitions\n", o.sizes[i]);
        loggedIn += measureNode(o, listener, port, o.sizes[i], sizes[i]);
    }
    close(listener);

    printTable(o, sizes, peer, redis);
    std::string command;
    for (int i = 0; i < argc; ++i)
        command += (i ? " " : "") + std::string(argv[i]);
    const std::string buildType = ZERLINT_BUILD_TYPE;
    std::printf("\nnode: %s\nmachine: %ld cores, %s, load average %.2f at start\nbuild type: %s\n"
                "time slice %g s per rate figure, up to %d rounds per one-at-a-time figure\n"
                "requests and events address %s\n%s\nreproduce: %s\n",
                o.node.c_str(), sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str(), load,
                buildType.empty() ? "(none)" : buildType.c_str(), o.seconds, o.rounds,
                o.active ? (std::to_string(o.active) + " aliases and controllers spread evenly through the list").c_str()
                         : "every alias and controller, scattered",
                pinning() ? "the bench on CPU 0, the node and the references on CPU 1" : "one CPU for all",
                command.c_str());
    return loggedIn ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);   // a peer that goes away is reported, not fatal
    const Parsed parsed = parse(argc, argv);
    if (!parsed.options) {
        usage(parsed.status);
        return parsed.status;
    }
    try {
        return run(*parsed.options, argc, argv);
    } catch (const Fatal &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
