#include "measure.h"

#include "child.h"
#include "conn.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

namespace {

constexpr int Batch = 1000;     // request lines written at once
constexpr int Spread = 10;      // distinct batches, so that with every alias active all are reached

// Index j of a run over the active aliases: that many spread evenly through the n of the list
// (the working set of a bus where a few axes are in use), or, with 0, all n scattered (7919 is
// prime, so all are reached), where the figure measures the memory more than the node.
int spread(long j, int n, int active)
{
    return active > 0 && active < n ? int(j % active * (n / active)) : int(j * 7919 % n);
}

// Batches of request(j) lines (and a closing tail each); j runs over Batch * Spread indexes.
template <class Request>
std::vector<std::string> batchesOf(Request request, const std::string &tail = "")
{
    std::vector<std::string> batches(Spread);
    for (long j = 0; j < long(Batch) * Spread; ++j)
        batches[size_t(j / Batch)] += request(j);
    for (std::string &b : batches)
        b += tail;
    return batches;
}

// Whole batches, each read until done() has accepted its last line, for the time slice (at least
// one each part). Returns batches sent per second: the median of the slice's parts, so that a
// moment of other work on a shared machine does not make the figure.
template <class Done>
double batchRate(Conn &c, const std::vector<std::string> &batches, double seconds, Done done)
{
    constexpr int Parts = 5;
    std::vector<double> rates;
    long sent = 0;
    for (int part = 0; part < Parts; ++part) {
        long inPart = 0;
        const auto start = Clock::now();
        do {
            c.out = batches[size_t(sent++) % batches.size()];
            c.transact(done);
            ++inPart;
        } while (secondsSince(start) < seconds / Parts);
        rates.push_back(double(inPart) / secondsSince(start));
    }
    std::sort(rates.begin(), rates.end());
    return rates[Parts / 2];
}

double pipelined(Conn &c, const std::vector<std::string> &batches, double seconds)
{
    int left = Batch;
    return Batch * batchRate(c, batches, seconds, [&](std::string_view) {
        return --left == 0 ? (left = Batch, true) : false;
    });
}

// One request at a time: µs from its write to the line done() accepts; the rounds or the time
// slice, whichever ends first.
template <class Request, class Done>
Stat oneAtATime(Conn &c, int rounds, double seconds, Request request, Done done)
{
    std::vector<double> us;
    const auto start = Clock::now();
    for (int i = 0; i < rounds && (i == 0 || secondsSince(start) < seconds); ++i) {
        c.out = request(i);
        const auto t = Clock::now();
        c.transact(done);
        us.push_back(secondsSince(t) * 1e6);
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)], us.back()};
}

Ref measureRef(std::unique_ptr<Conn> c, const std::string &request, const Options &o)
{
    Ref r;
    try {
        if (!c)
            throw Failure("did not start");
        r.rate.v = pipelined(*c, batchesOf([&](long) { return request; }), o.seconds);
        r.lat = oneAtATime(*c, o.rounds, o.seconds, [&](int) { return request; }, [](std::string_view) { return true; });
    } catch (const Failure &e) {
        r.absent = e.what();
    }
    return r;
}

int acceptNode(int listener, pid_t &pid)
{
    for (const auto start = Clock::now(); secondsSince(start) * 1000 < IdleMs;) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 100) > 0)
            return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const std::string ended = endedText(pid);
        if (!ended.empty())
            throw Failure("the node ended before it connected" + ended);
    }
    throw Failure("the node did not connect");
}

double peakMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (startsWith(line, "VmHWM:"))
            return std::stod(line.substr(6)) / 1024;
    }
    return NAN;
}

// What a controller answers to "ADDRESS GetValue".
std::string valueAnswer(std::string_view request)
{
    return std::string(request.substr(0, request.size() - 9)) + ">zerlint0 @GetValue 100\n";
}

} // namespace

Ref measurePeer(const Options &o)
{
    pid_t pid = -1;
    Ref r = measureRef(startPeer(pid), "c>peer Help\n", o);
    stop(pid);
    return r;
}

Ref measureRedis(const Options &o)
{
    if (!o.redis)
        return {{}, {}, "skipped"};
    if (!onPath("redis-server"))
        return {{}, {}, "not installed"};
    Child redis;
    return measureRef(startRedis(redis), "PING\r\n", o);
}

bool measureNode(const Options &o, int listener, int port, int n, Figures &f)
{
    bool loggedIn = false;
    Child node;
    try {
        std::string cfg = "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + std::to_string(port) + "\n";
        for (int i = 0; i < n; ++i)
            cfg += "PM m" + std::to_string(i) + " ctl" + std::to_string(i) + " ax\n";
        for (int i = 0; i < n; ++i)
            cfg += "ALIAS a" + std::to_string(i) + " m" + std::to_string(i) + " m" + std::to_string((i + 1) % n) + " 1 1 0\n";
        node.writeFile("zerlint0.key", "k0\n");
        node.writeFile("config.cfg", cfg);
        const auto forked = Clock::now();
        node.spawn({o.node}, "node.log");
        Conn c(acceptNode(listener, node.pid));

        c.out = "0\n";
        std::string login;
        c.transact([&](std::string_view line) { login = line; return true; });
        if (login != "zerlint0 k0")
            throw Failure("unexpected login line: " + login);
        // Lines that come with the login answer are dropped: nothing more until the node speaks.
        c.out = "System>zerlint0 @login Ok:\n";
        int left = 3 * n;   // two subscriptions and one value request per controller
        std::string answers;
        c.transact([&](std::string_view line) {
            if (left == 3 * n)
                f[Startup].v = secondsSince(forked) * 1e3;
            if (endsWith(line, " GetValue"))
                answers += valueAnswer(line);
            return --left == 0;
        });
        loggedIn = true;
        const auto synced = [](std::string_view line) { return line == "zerlint0>sync @IsBusy 0"; };
        c.out = answers + "sync>zerlint0 IsBusy\n";
        c.transact(synced);

        const auto alias = [n, &o](long j) { return "zerlint0.a" + std::to_string(spread(j, n, o.active)); };
        f[PipeHelp].v = pipelined(c, batchesOf([](long) { return "c>zerlint0 Help\n"; }), o.seconds);
        f[PipeChInfo].v = pipelined(c, batchesOf([&](long j) { return "c>" + alias(j) + " GetChInfo\n"; }), o.seconds);
        f[PipeIsBusy].v = pipelined(c, batchesOf([&](long j) { return "c>" + alias(j) + " IsBusy\n"; }), o.seconds);
        f[PipeNonsense].v = pipelined(c, batchesOf([](long) { return "c>zerlint0 Nonsense\n"; }), o.seconds);

        f[OneHelp] = oneAtATime(c, o.rounds, o.seconds, [](int) { return "c>zerlint0 Help\n"; },
                                [](std::string_view line) { return startsWith(line, "zerlint0>c @Help"); });
        std::string want;
        f[OneGet] = oneAtATime(
            c, o.rounds, o.seconds, [&](int i) { want = alias(i) + ">c @GetValue"; return "c>" + alias(i) + " GetValue\n"; },
            [&](std::string_view line) {
                if (endsWith(line, " GetValue"))   // the bench plays both controllers
                    c.out += valueAnswer(line);
                return startsWith(line, want);
            });
        f[OneSet] = oneAtATime(
            c, o.rounds, o.seconds,
            [&](int i) { want = alias(i) + ">c @SetValue"; return "c>" + alias(i) + " SetValue " + std::to_string(150 + i % 101) + "\n"; },
            [&](std::string_view line) { return startsWith(line, want); });

        // An event reaches every alias over its controller; the closing sync marks the batch's end.
        const auto events = batchesOf(
            [n, &o](long j) { return "ctl" + std::to_string(spread(j, n, o.active)) + ".ax>zerlint0 _ChangedValue " + std::to_string(100 + j % 50) + "\n"; },
            "sync>zerlint0 IsBusy\n");
        long out = 0, in = 0;
        f[RelayIn].v = Batch * batchRate(c, events, o.seconds, [&](std::string_view line) {
            out += line.find(">System _ChangedValue ") != std::string_view::npos;
            in += synced(line) ? Batch : 0;
            return synced(line);
        });
        f[RelayOut].v = f[RelayIn].v * double(out) / double(in);
        f[Rss].v = peakMiB(node.pid);
    } catch (const Failure &e) {
        std::fprintf(stderr, "zerlint-bench: %d definitions: %s%s\n", n, e.what(), endedText(node.pid, 1000).c_str());
    }
    return loggedIn;
}

} // namespace bench
