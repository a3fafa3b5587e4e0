#include "child.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

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

std::string endedText(pid_t &pid, int waitMs)
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

namespace {

int removeEntry(const char *path, const struct stat *, int, FTW *) { return std::remove(path); }

} // namespace

Child::Child()
{
    char name[] = "/tmp/zerlint-bench.XXXXXX";
    if (!mkdtemp(name))
        throw Fatal("zerlint-bench: temp folder");
    dir = name;
}

Child::~Child()
{
    stop(pid);
    nftw(dir.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

void Child::writeFile(const std::string &name, const std::string &text) const { std::ofstream(dir + "/" + name) << text; }

void Child::spawn(const std::vector<std::string> &args, const std::string &log)
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

std::unique_ptr<Conn> connectWhenReady(int port, pid_t &pid)
{
    for (const auto start = Clock::now(); secondsSince(start) < 5 && endedText(pid).empty(); usleep(20000)) {
        const int fd = connectLoopback(port);
        if (fd >= 0)
            return std::make_unique<Conn>(fd);
    }
    return nullptr;
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

std::unique_ptr<Conn> startPeer(pid_t &pid)
{
    int port = 0;
    const int listener = listenLoopback(port);
    pid = fork();
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
    return connectWhenReady(port, pid);
}

std::unique_ptr<Conn> startRedis(Child &redis)
{
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
    return c;
}

} // namespace bench
