#include "tools/clientsession.h"

#include <QSocketNotifier>
#include <QTime>

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <utility>

#include "busline/busline.h"

ClientSession::ClientSession(const Options &settings, QObject *parent)
    : QObject(parent)
    , options(settings)
{
    drain.setSingleShot(true);
    drain.setInterval(settings.drainMs);
    connect(&drain, &QTimer::timeout, this, [this] { finish(Done); });
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        finish(NoMatch, waitsForMatch()
                            ? QStringLiteral("no line matched [%1] in time").arg(options.until.pattern())
                            : QStringLiteral("time is up"));
    });
    connect(&socket, &QTcpSocket::connected, this, [this] {
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        state = AwaitingChallenge;
    });
    connect(&socket, &QTcpSocket::readyRead, this, &ClientSession::readSocket);
    connect(&socket, &QTcpSocket::disconnected, this, &ClientSession::lost);
    connect(&socket, &QTcpSocket::errorOccurred, this, [this] {
        if (state == Connecting)
            finish(Failed, QStringLiteral("cannot connect to %1 port %2: %3")
                               .arg(options.server).arg(options.port).arg(socket.errorString()));
    });
}

void ClientSession::start()
{
    if (options.timeoutMs > 0)
        deadline.start(options.timeoutMs);
    if (options.readInput) {
        inputOpen = true;
        input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(input, &QSocketNotifier::activated, this, &ClientSession::readInput);
        if (isatty(STDIN_FILENO))
            show("--", QStringLiteral("type lines to send, Ctrl-D ends"));
    }
    socket.connectToHost(options.server, options.port);
}

void ClientSession::readSocket()
{
    socketBuffer += socket.readAll();
    qsizetype end;
    while (state != Closed && (end = socketBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(socketBuffer.left(end)).trimmed();
        socketBuffer.remove(0, end + 1);
        received(line);
    }
    if (socketBuffer.size() > BusLine::MaxLength)
        finish(Failed, QStringLiteral("the server sent a line without end"));
}

void ClientSession::received(const QString &line)
{
    show("<-", line);
    switch (state) {
    case AwaitingChallenge: {
        const int index = BusLine::keyIndex(line, options.keys.size());
        if (index < 0) {
            finish(Failed, QStringLiteral("the challenge selects no key"));
            return;
        }
        state = AwaitingAnswer;
        show("->", options.name + QStringLiteral(" ********"));
        socket.write((options.name + QLatin1Char(' ') + options.keys.at(index) + QLatin1Char('\n')).toUtf8());
        return;
    }
    case AwaitingAnswer:
        if (line.contains(QLatin1String("Er:"))) {
            finish(Failed, QStringLiteral("login refused"));
            return;
        }
        state = Ready;
        for (const QString &next : options.lines)
            send(next);
        for (const QString &next : std::exchange(queued, {}))
            send(next);
        if (!inputOpen)
            inputEnded();
        return;
    case Ready:
        if (waitsForMatch() && options.until.match(line).hasMatch()) {
            finish(Done);
            return;
        }
        if (drain.isActive())
            drain.start();   // still talking: wait for quiet again
        return;
    default:
        return;
    }
}

void ClientSession::send(const QString &line)
{
    if (state != Ready) {
        queued.append(line);
        return;
    }
    show("->", line);
    socket.write((line + QLatin1Char('\n')).toUtf8());
}

void ClientSession::readInput()
{
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0)
        inputBuffer.append(chunk, n);
    qsizetype end;
    while ((end = inputBuffer.indexOf('\n')) >= 0 || (n <= 0 && !inputBuffer.isEmpty())) {
        const QString line = QString::fromUtf8(end >= 0 ? inputBuffer.left(end) : inputBuffer).trimmed();
        inputBuffer.remove(0, end >= 0 ? end + 1 : inputBuffer.size());
        if (!line.isEmpty())
            send(line);
    }
    if (n <= 0) {
        input->setEnabled(false);
        inputOpen = false;
        if (state == Ready)
            inputEnded();
    }
}

void ClientSession::inputEnded()
{
    // With a pattern to wait for, only a match or the time limit ends the session.
    if (!waitsForMatch())
        drain.start();
}

void ClientSession::lost()
{
    if (state == Closed)
        return;
    const bool complete = state == Ready && !inputOpen && !waitsForMatch();
    finish(complete ? Done : waitsForMatch() ? NoMatch : Failed,
           QStringLiteral("the server closed the connection"));
}

void ClientSession::finish(int status, const QString &why)
{
    if (state == Closed)
        return;
    state = Closed;
    drain.stop();
    deadline.stop();
    if (!why.isEmpty())
        show("--", why);
    auto report = [this, status] {
        if (!reported)
            emit finished(status);
        reported = true;
    };
    // Lines still in the socket's buffer go out before the connection closes.
    if (socket.state() == QAbstractSocket::UnconnectedState) {
        report();
        return;
    }
    connect(&socket, &QTcpSocket::disconnected, this, report);
    QTimer::singleShot(1000, this, report);
    socket.disconnectFromHost();
}

void ClientSession::show(const char *direction, const QString &text)
{
    const QByteArray line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toUtf8() + ' '
        + direction + ' ' + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}
