#include "node/readiness.h"

#include <QDebug>

#include <sys/socket.h>
#include <sys/stat.h>
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
        qWarning() << "NOTIFY_SOCKET is not a socket address, not notified : " << path;
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (path.front() == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr *>(&address), length) < 0) {
        qWarning() << "Cannot notify the service manager : " << std::strerror(errno);
    }
    if (fd >= 0)
        ::close(fd);
}

void markJournalPriorities()
{
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        return;
    const QByteArrayList stream = qgetenv("JOURNAL_STREAM").split(':');
    struct stat error = {};
    bool devOk = false, inodeOk = false;
    if (stream.size() != 2 || ::fstat(STDERR_FILENO, &error) != 0
        || stream[0].toULongLong(&devOk) != error.st_dev || stream[1].toULongLong(&inodeOk) != error.st_ino
        || !devOk || !inodeOk)
        return;
    qSetMessagePattern(QStringLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                                      "%{if-critical}<3>%{endif}%{if-fatal}<2>%{endif}%{message}"));
}
