#include "bus/connector.h"

#include <QHostInfo>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The socket address of an IPv4 or IPv6 address; length 0 for anything else.
socklen_t socketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &peer)
{
    peer = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&peer);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof(sockaddr_in);
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address.scopeId().toUInt();
        return sizeof(sockaddr_in6);
    }
    return 0;
}

void keepAlive(int fd)
{
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &Connector::KeepAliveIdle, sizeof Connector::KeepAliveIdle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &Connector::KeepAliveInterval, sizeof Connector::KeepAliveInterval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &Connector::KeepAliveProbes, sizeof Connector::KeepAliveProbes);
}

} // namespace

Connector::Connector()
{
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, this, &Connector::timeUp);
}

Connector::~Connector()
{
    stop();
}

void Connector::open(const QString &host, quint16 port, std::chrono::milliseconds timeLimit)
{
    this->port = port;
    limit.start(timeLimit);
    QHostInfo::lookupHost(host, this, &Connector::hostFound);
}

void Connector::stop()
{
    limit.stop();
    candidates.clear();
    if (pending) {
        pending.reset();
        ::close(descriptor);
    }
}

void Connector::timeUp()
{
    stop();
    emit failed(errorText(ETIMEDOUT));
}

void Connector::hostFound(const QHostInfo &info)
{
    if (!limit.isActive())
        return;   // the time was up first
    candidates = info.addresses();
    if (info.error() != QHostInfo::NoError || candidates.isEmpty()) {
        stop();
        emit failed(info.errorString());
        return;
    }
    tryNext();
}

void Connector::tryNext()
{
    int error = 0;
    while (!candidates.isEmpty()) {
        sockaddr_storage peer;
        const socklen_t length = socketAddress(candidates.takeFirst(), port, peer);
        if (length == 0)
            continue;
        const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && (::connect(fd, reinterpret_cast<sockaddr *>(&peer), length) == 0 || errno == EINPROGRESS)) {
            descriptor = fd;
            pending = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            connect(pending.get(), &QSocketNotifier::activated, this, &Connector::attempted);
            return;
        }
        error = errno;
        if (fd >= 0)
            ::close(fd);
    }
    stop();
    emit failed(errorText(error ? error : ECONNREFUSED));
}

void Connector::attempted()
{
    pending->setEnabled(false);
    pending.release()->deleteLater();   // this runs inside its signal
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == 0) {
        keepAlive(descriptor);
        stop();
        emit connected(descriptor);
        return;
    }
    ::close(descriptor);
    if (error == ECONNRESET || error == EPIPE) {
        stop();
        emit dropped(errorText(error));
    } else {
        tryNext();
    }
}

void ConnectionWitness::watch(qintptr descriptor)
{
    release();
    fd = ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
}

bool ConnectionWitness::wasReset() const
{
    // A close leaves the connection half open, waiting for this end's close; a reset ends it.
    tcp_info info = {};
    socklen_t length = sizeof info;
    return fd >= 0 && ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE;
}

void ConnectionWitness::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
