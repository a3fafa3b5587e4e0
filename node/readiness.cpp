#include "node/readiness.h"

#include <QDebug>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

void notifyServiceManager(const QByteArray &state)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    if (path.isEmpty())
        return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // A path, or with "@" a name in the abstract namespace, which starts with a zero byte.
    if ((path.front() != '/' && path.front() != '@') || size_t(path.size()) >= sizeof address.sun_path) {
        qDebug() << "NOTIFY_SOCKET is not a socket address, not notified : " << path;
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (path.front() == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr *>(&address), length) < 0) {
        qDebug() << "Cannot notify the service manager : " << std::strerror(errno);
    }
    if (fd >= 0)
        ::close(fd);
}
