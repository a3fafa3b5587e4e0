// zerlint-bench: plays the bus server for the real node and measures it beside two reference
// peers (a minimal line peer built in, and redis-server) driven by the same client code.
// It counts and matches lines itself, so it shares none of the node's logic.

#include <fcntl.h>
#include <sched.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Batch = 1000;     // request lines written at once
constexpr int Spread = 10;      // distinct batches, so that with every alias active all are reached
constexpr int IdleMs = 60000;   // a peer silent this long is taken as hung

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool endsWith(std::string_view s, std::string_view p)
{
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}
// Index j of a run over the active aliases: that many spread evenly through the n of the list
// (the working set of a bus where a few axes are in use), or, with 0, all n scattered (7919 is
// prime, so all are reached), where the figure measures the memory more than the node.
int spread(long j, int n, int active)
{
    return active > 0 && active < n ? int(j % active * (n / active)) : int(j * 7919 % n);
}

struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::string errnoText(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// With two CPUs or more the bench runs on the first and every server it measures on the second,
// so that each figure pays the same wake-up across CPUs, wherever the scheduler would put them.
bool pinning() { return sysconf(_SC_NPROCESSORS_ONLN) >= 2; }

void placeOn(int cpu)
{
    if (!pinning())
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

[[noreturn]] void fatal(const char *what)
{
    std::perror(what);
    std::exit(2);
}

// One loopback connection: writes what is queued in `out` while handing each line read to the caller.
class Conn
{
public:
    explicit Conn(int fd)
        : fd(fd)
    {
        if (fd < 0)
            throw Failure(errnoText("connection"));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Conn() { close(fd); }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    std::string out;

    // Passes each line (without '\n') to done() until it returns true and `out` is all written;
    // done() may queue more. Every line of one read is seen before the next write, so the
    // output they cause goes out together. Lines after the accepted one wait for the next call.
    template <class Done>
    void transact(Done done)
    {
        for (bool finished = false;;) {
            while (!finished && head < tail) {
                const char *start = in.data() + head;
                const char *nl = static_cast<const char *>(std::memchr(start, '\n', tail - head));
                if (!nl)
                    break;
                head += size_t(nl - start) + 1;
                finished = done(std::string_view(start, size_t(nl - start)));
            }
            if (finished && out.empty())
                return;
            pollfd p{fd, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            const int ready = poll(&p, 1, IdleMs);
            if (ready == 0)
                throw Failure("no answer for " + std::to_string(IdleMs / 1000) + " s");
            if (ready < 0 && errno != EINTR)
                throw Failure(errnoText("poll"));
            if (ready > 0 && (p.revents & POLLOUT)) {
                const ssize_t n = write(fd, out.data() + sent, out.size() - sent);
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    throw Failure(errnoText("write"));
                sent += size_t(std::max<ssize_t>(n, 0));
                if (sent == out.size())
                    out.clear(), sent = 0;
            }
            if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                // Only a partial line is left at this point, so the move is short.
                std::memmove(in.data(), in.data() + head, tail - head);
                tail -= head;
                head = 0;
                if (tail == in.size())
                    in.resize(in.size() * 2);
                const ssize_t n = read(fd, in.data() + tail, in.size() - tail);
                if (n == 0)
                    throw Failure("connection closed");
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    throw Failure(errnoText("read"));
                tail += size_t(std::max<ssize_t>(n, 0));
            }
        }
    }

private:
    int fd;
    std::vector<char> in = std::vector<char>(1 << 18);
    size_t head = 0, tail = 0, sent = 0;
};

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int listenLoopback(int &port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(fd, 8) < 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0)
        fatal("zerlint-bench: listen on 127.0.0.1");
    port = ntohs(a.sin_port);
    return fd;
}

int connectLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// "" while the process runs (waited for up to waitMs), else how it ended; a reaped pid becomes -1.
std::string endedText(pid_t &pid, int waitMs = 0)
{
    int status = 0;
    for (int waited = 0; pid > 0 && waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= waitMs)
            return "";
        usleep(10000);
    }
    if (pid <= 0)
        return "";
    pid = -1;
    if (WIFSIGNALED(status))
        return " (it was killed by signal " + std::to_string(WTERMSIG(status)) + ")";
    return " (it exited with status " + std::to_string(WEXITSTATUS(status)) + ")";
}

void stop(pid_t &pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (endedText(pid, 3000).empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

int removeEntry(const char *path, const struct stat *, int, FTW *) { return std::remove(path); }

// A child process and its temp folder, both gone when this goes.
struct Child
{
    pid_t pid = -1;
    std::string dir;

    Child()
    {
        char name[] = "/tmp/zerlint-bench.XXXXXX";
        if (!mkdtemp(name))
            fatal("zerlint-bench: temp folder");
        dir = name;
    }
    ~Child()
    {
        stop(pid);
        nftw(dir.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void writeFile(const std::string &name, const std::string &text) const { std::ofstream(dir + "/" + name) << text; }

    // Runs args in the folder, stdout and stderr into the log file there.
    void spawn(const std::vector<std::string> &args, const std::string &log)
    {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const std::string logPath = dir + "/" + log;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);   // never outlive the bench
            placeOn(1);
            const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(out, 1);
            dup2(out, 2);
            if (chdir(dir.c_str()) == 0)
                execvp(argv[0], argv.data());
            _exit(127);
        }
    }
};

// A figure: a rate in v, or a latency with p50 in v.
struct Stat
{
    double v = NAN, p99 = NAN, max = NAN;
};

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

struct Options
{
    std::string node;
    std::vector<int> sizes{10, 1000, 10000};
    double seconds = 1.0;
    int rounds = 2000;
    int active = 10;
    bool redis = true;
};

// A reference: its pipelined rate and one-at-a-time latency, or why it has none.
struct Ref
{
    Stat rate, lat;
    std::string absent;
};

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

// Connects once the child listens; null when it ended or did not listen within 5 s.
std::unique_ptr<Conn> connectWhenReady(int port, pid_t &pid)
{
    for (const auto start = Clock::now(); secondsSince(start) < 5 && endedText(pid).empty(); usleep(20000)) {
        const int fd = connectLoopback(port);
        if (fd >= 0)
            return std::make_unique<Conn>(fd);
    }
    return nullptr;
}

// The built-in reference: one thread, one connection, one reply line per request line; the
// replies to the lines of one read go out in one write.
Ref measurePeer(const Options &o)
{
    int port = 0;
    const int listener = listenLoopback(port);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        placeOn(1);
        pollfd p{listener, POLLIN, 0};
        try {
            Conn c(poll(&p, 1, IdleMs) > 0 ? accept(listener, nullptr, nullptr) : -1);
            c.transact([&](std::string_view) { c.out += "peer>c @Help Ok:\n"; return false; });
        } catch (const Failure &) {   // the bench closed the connection
        }
        _exit(0);
    }
    close(listener);
    Ref r = measureRef(connectWhenReady(port, pid), "c>peer Help\n", o);
    stop(pid);
    return r;
}

bool onPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

Ref measureRedis(const Options &o)
{
    if (!o.redis)
        return {{}, {}, "skipped"};
    if (!onPath("redis-server"))
        return {{}, {}, "not installed"};
    Child redis;
    std::unique_ptr<Conn> c;
    // A port found free by binding port 0 may be taken by another program before redis-server binds it.
    for (int attempt = 0; attempt < 3 && !c; ++attempt) {
        int port = 0;
        close(listenLoopback(port));
        redis.spawn({"redis-server", "--bind", "127.0.0.1", "--port", std::to_string(port), "--save", "",
                     "--appendonly", "no", "--daemonize", "no", "--dir", redis.dir},
                    "redis.log");
        if (!(c = connectWhenReady(port, redis.pid)))
            stop(redis.pid);
    }
    return measureRef(std::move(c), "PING\r\n", o);
}

enum Fig { Startup, PipeHelp, PipeChInfo, PipeIsBusy, PipeNonsense, OneHelp, OneGet, OneSet, RelayIn, RelayOut, Rss, FigCount };
using Figures = std::array<Stat, FigCount>;

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

// Every figure at one size; those not reached stay empty. False when the node never logged in.
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

[[noreturn]] void usage(int status)
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
    std::exit(status);
}

Options parse(int argc, char **argv)
{
    Options o;
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0)
        o.node = std::string(self).substr(0, std::string(self).rfind('/') + 1) + "zerlint";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : (usage(2), ""); };
        if (arg == "--node") {
            // The node runs in its own folder, so a relative path is made absolute here.
            const std::string path = value();
            char *full = realpath(path.c_str(), nullptr);
            o.node = full ? full : path;
            std::free(full);
        } else if (arg == "--sizes") {
            o.sizes.clear();
            std::istringstream list(value());
            for (std::string item; std::getline(list, item, ',');)
                o.sizes.push_back(std::atoi(item.c_str()));
        } else if (arg == "--seconds") {
            o.seconds = std::atof(value().c_str());
        } else if (arg == "--rounds") {
            o.rounds = std::atoi(value().c_str());
        } else if (arg == "--active") {
            o.active = std::atoi(value().c_str());
        } else if (arg == "--no-redis") {
            o.redis = false;
        } else {
            usage(arg == "--help" ? 0 : 2);
        }
    }
    if (o.sizes.empty() || *std::min_element(o.sizes.begin(), o.sizes.end()) < 1 || o.seconds <= 0 || o.rounds < 1
        || o.active < 0)
        usage(2);
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);   // a peer that goes away is reported, not fatal
    const Options o = parse(argc, argv);
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
