#include "node/servicesignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

int gPair[2] = {-1, -1};
const int gTaken[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onServiceSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(gPair[1], &byte, 1);
}

} // namespace

ServiceSignals::ServiceSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gPair) != 0)
        return;
    notifier = std::make_unique<QSocketNotifier>(gPair[0], QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &ServiceSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = onServiceSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : gTaken)
        ::sigaction(number, &action, nullptr);
}

ServiceSignals::~ServiceSignals()
{
    for (const int number : gTaken)
        ::signal(number, SIG_DFL);
    notifier.reset();
    for (int &fd : gPair) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void ServiceSignals::readSignal()
{
    char byte = 0;
    while (::read(gPair[0], &byte, 1) == 1) {
        if (byte == SIGHUP)
            emit reloadAsked();
        else
            emit stopAsked(byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
    }
}
