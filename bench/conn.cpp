#include "conn.h"

namespace bench {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

int listenLoopback(int &port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(fd, 8) < 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0)
        throw Fatal("zerlint-bench: listen on 127.0.0.1");
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

} // namespace bench
