#include "node/stopsignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

int gPair[2] = {-1, -1};

extern "C" void onStopSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(gPair[1], &byte, 1);
}

} // namespace

StopSignals::StopSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gPair) != 0)
        return;
    notifier = std::make_unique<QSocketNotifier>(gPair[0], QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &StopSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

StopSignals::~StopSignals()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    notifier.reset();
    for (int &fd : gPair) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::readSignal()
{
    char byte = 0;
    while (::read(gPair[0], &byte, 1) == 1)
        emit received(byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
}
