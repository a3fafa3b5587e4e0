// The processes the bench measures: where they run, how they are started, stopped and waited for,
// and the two references (the built-in line peer and redis-server) up to their first connection.
#pragma once

#include "conn.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace bench {

// With two CPUs or more the bench runs on the first and every server it measures on the second,
// so that each figure pays the same wake-up across CPUs, wherever the scheduler would put them.
bool pinning();
void placeOn(int cpu);

// "" while the process runs (waited for up to waitMs), else how it ended; a reaped pid becomes -1.
std::string endedText(pid_t &pid, int waitMs = 0);
// SIGTERM, then SIGKILL after 3 s; the pid becomes -1.
void stop(pid_t &pid);

// A child process and its temp folder, both gone when this goes.
struct Child
{
    pid_t pid = -1;
    std::string dir;

    Child();
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void writeFile(const std::string &name, const std::string &text) const;
    // Runs args in the folder, stdout and stderr into the log file there.
    void spawn(const std::vector<std::string> &args, const std::string &log);
};

// Connects once the child listens; null when it ended or did not listen within 5 s.
std::unique_ptr<Conn> connectWhenReady(int port, pid_t &pid);

bool onPath(const std::string &name);

// The built-in reference, forked into pid: one thread, one connection, one reply line per request
// line; the replies to the lines of one read go out in one write. Null when it did not start.
std::unique_ptr<Conn> startPeer(pid_t &pid);
// redis-server in redis's folder at a free port; null when it did not start in three attempts.
std::unique_ptr<Conn> startRedis(Child &redis);

} // namespace bench
