// The bench's side of a loopback TCP connection, and the listen/connect steps that make one.
#pragma once

#include "common.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

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

// A listening socket on 127.0.0.1 at a free port, which is stored in `port`.
int listenLoopback(int &port);
// A blocking socket connected to 127.0.0.1:port, or -1.
int connectLoopback(int port);

} // namespace bench
