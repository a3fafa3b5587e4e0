// What every part of the bench shares: the clock, the line tests, and how a step fails.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int IdleMs = 60000;   // a peer silent this long is taken as hung

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
inline bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
inline bool endsWith(std::string_view s, std::string_view p)
{
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// A step that did not work: the figure it was for stays empty, the bench goes on.
struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

inline std::string errnoText(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// A step the whole bench needs (a listening socket, a temp folder): main reports it and ends
// with status 2.
struct Fatal : std::runtime_error
{
    explicit Fatal(const char *what)
        : std::runtime_error(errnoText(what))
    {
    }
};

} // namespace bench
