#include "bus/orvex.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

#include "bus/vocabulary.h"

namespace {

void reportDroppedLine()
{
    qWarning() << Orvex::tr("Dropped an inbound line longer than %1 bytes").arg(Orvex::MaxLineLength);
}

} // namespace

Orvex::Orvex()
    : QObject(nullptr)
{
    qRegisterMetaType<SMsg>("SMsg");
    qRegisterMetaType<Orvex *>("Orvex*");
    socket.setReadBufferSize(ReadBufferSize);
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);   // a limit is not cut short
    connect(&timer, &QTimer::timeout, this, &Orvex::timeUp);
    connect(&socket, &QTcpSocket::disconnected, this, &Orvex::socketDisconnected);
    connect(&socket, &QTcpSocket::errorOccurred, this, &Orvex::socketError);
    connect(&connector, &Connector::connected, this, &Orvex::socketConnected);
    connect(&connector, &Connector::failed, this, [this](const QString &why) {
        end(1, tr("Cannot connect to the bus server %1 port %2: %3").arg(serverHost).arg(serverPort).arg(why));
    });
    connect(&connector, &Connector::dropped, this, &Orvex::lost);
}

Orvex::~Orvex()
{
    // The socket goes after this body, and a device outlives the link: neither may call in now.
    socket.disconnect(this);
    if (transport)
        transport->disconnect(this);
}

qint64 Orvex::heldBytes() const
{
    return inbound.size() + (transport ? transport->bytesAvailable() : 0);
}

void Orvex::connectToServer(const QString &name, const QStringList &keys, const QString &host, quint16 port)
{
    this->name = name;
    this->keys = keys;
    serverHost = host;
    serverPort = port;
    linkState = State::Connecting;
    connector.open(host, port, connectTimeLimit);
}

void Orvex::socketConnected(qintptr descriptor)
{
    witness.watch(descriptor);
    socket.setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState);
    // Replies go out as they are written, not held back for the peer's acknowledgement.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    attach(&socket);
}

void Orvex::attach(const QString &name, const QStringList &keys, QIODevice *device)
{
    this->name = name;
    this->keys = keys;
    attach(device);
}

void Orvex::attach(QIODevice *device)
{
    transport = device;
    linkState = State::AwaitingChallenge;
    awaitLoginStep();
    connect(transport, &QIODevice::readyRead, this, &Orvex::transportReadyRead, Qt::UniqueConnection);
    connect(transport, &QIODevice::bytesWritten, this, &Orvex::transportDrained, Qt::UniqueConnection);
}

void Orvex::end(int status, const QString &why)
{
    if (linkState == State::Ended)
        return;
    linkState = State::Ended;
    timer.stop();
    connector.stop();
    outbound.clear();
    // Nothing more goes out or comes in; what the socket still held is dropped with it.
    if (transport == &socket)
        socket.abort();
    witness.release();
    emit finished(status, why);
}

void Orvex::lost(const QString &why)
{
    end(0, tr("The bus connection was lost: %1").arg(why));
}

void Orvex::socketDisconnected()
{
    if (linkState == State::Stopping)
        end(0, stopReason);
    else if (witness.wasReset())
        lost(QString::fromLocal8Bit(std::strerror(ECONNRESET)));
    else
        end(0, tr("The bus server closed the connection"));
}

void Orvex::stop(const QString &why)
{
    if (linkState == State::Ended || linkState == State::Stopping)
        return;
    flushOutbound();
    if (transport != &socket || socket.bytesToWrite() == 0) {
        end(0, why);
        return;
    }
    // Nothing more is read; the socket closes once it has written all, or the time is up.
    linkState = State::Stopping;
    stopReason = why;
    timer.start(StopTimeLimit);
    socket.disconnectFromHost();
}

void Orvex::socketError(QAbstractSocket::SocketError error)
{
    // The socket only ever holds a connection that was made; losing it ends the link as
    // closing does, whether or not Qt reports the close as well.
    if (error == QAbstractSocket::RemoteHostClosedError || linkState == State::Stopping)
        socketDisconnected();
    else
        lost(socket.errorString());
}

void Orvex::transportReadyRead()
{
    switch (linkState) {
    case State::AwaitingChallenge:
        readChallenge();
        break;
    case State::LoginSent:
        takeLoginAnswer();
        break;
    case State::Ready:
        dispatchLines();
        break;
    default:
        break;
    }
}

void Orvex::dispatchLines()
{
    // While replies wait to be sent, nothing more is read: the bus server sees a slow reader.
    if (paused || linkState != State::Ready)
        return;
    // Take all that arrived at once and split it here: one copy per read, none per line.
    if (inbound.isEmpty())
        inbound = transport->readAll();
    else
        inbound.append(transport->readAll());

    qsizetype start = 0;
    holding = true;
    for (qsizetype end; linkState == State::Ready && (end = inbound.indexOf('\n', start)) >= 0; start = end + 1) {
        if (discarding) {
            discarding = false;   // this was the tail of the dropped line
            continue;
        }
        if (end - start > MaxLineLength) {   // the same line in pieces would have been dropped
            reportDroppedLine();
            continue;
        }
        if (transport->bytesToWrite() + outbound.size() > OutputHighWater) {
            paused = true;
            break;
        }
        received.parseBytes(QByteArrayView(inbound.constData() + start, end - start), lineText);
        dispatch(received);
    }
    holding = false;
    flushOutbound();
    if (linkState != State::Ready)
        return;
    inbound.remove(0, start);

    if (!paused && (discarding || inbound.size() > MaxLineLength)) {
        if (!discarding)
            reportDroppedLine();
        discarding = true;
        inbound.clear();
    }
}

void Orvex::transportDrained()
{
    if (paused && transport->bytesToWrite() <= OutputLowWater) {
        paused = false;
        dispatchLines();
    }
}

void Orvex::dispatch(const SMsg &msg)
{
    if (msg.form == FormIncomplete)
        return;
    if (msg.form == FormEvent) {
        if (msg.cmdId == VocabChangedIsBusy)
            emit EvChangedIsBusy(msg);
        else if (msg.cmdId == VocabChangedValue)
            emit EvChangedValue(msg);
        return;
    }
    switch (msg.cmdId) {
    case VocabHelp: emit AskHelp(msg); break;
    case VocabGetChs: emit AskGetChs(msg); break;
    case VocabGetChInfo: emit AskGetChInfo(msg); break;
    case VocabIsBusy: emit AskIsBusy(msg); break;
    case VocabStopEmergency: emit AskStopEmergency(msg); break;
    case VocabStop: emit AskStop(msg); break;
    case VocabRemote: emit AskRemote(msg); break;
    case VocabSetValue: emit AskSetValue(msg); break;
    case VocabSetValueREL: emit AskSetValueREL(msg); break;
    case VocabGetValue: emit AskGetValue(msg); break;
    case VocabSpeedHigh: emit AskSpeedHigh(msg); break;
    case VocabSpeedMiddle: emit AskSpeedMiddle(msg); break;
    case VocabSpeedLow: emit AskSpeedLow(msg); break;
    case VocabAnsStopEmergency: emit AnsStopEmergency(msg); break;
    case VocabAnsStop: emit AnsStop(msg); break;
    case VocabAnsRemote: emit AnsRemote(msg); break;
    case VocabAnsSetValue: emit AnsSetValue(msg); break;
    case VocabAnsGetValue: emit AnsGetValue(msg); break;
    case VocabAnsSpeedHigh:
    case VocabAnsSpeedMiddle:
    case VocabAnsSpeedLow: emit AnsSpeed(msg); break;
    case VocabEnd:
        if (!msg.command.startsWith(QLatin1Char('@')))
            SendReply(msg, QStringLiteral("Er: Undefined Command"));
        break;
    default:   // replies that nobody listens to
        break;
    }
}

void Orvex::lineWritten()
{
    // While inbound lines are handled, what they cause goes to the socket in one write.
    if (!holding || outbound.size() >= OutboundChunk)
        flushOutbound();
}

void Orvex::flushOutbound()
{
    // Latin-1 on the wire: a character beyond it goes out as "?". Once ended, nothing goes.
    if (transport && !outbound.isEmpty() && linkState != State::Ended)
        transport->write(outbound.toLatin1());
    outbound.resize(0);   // keeps its capacity
}

void Orvex::SendReply(const SMsg &msg, const QString &text)
{
    SendReply(msg, {QStringView(text)});
}

void Orvex::SendReply(const SMsg &msg, std::initializer_list<QStringView> text)
{
    // Built part by part, so a "%" in an address or a text is never taken for a placeholder.
    outbound += msg.to;
    outbound += QLatin1Char('>');
    outbound += msg.from;
    outbound += QLatin1String(" @");
    outbound += msg.command;
    outbound += QLatin1Char(' ');
    for (const QStringView part : text)
        outbound += part;
    outbound += QLatin1Char('\n');
    lineWritten();
}

void Orvex::SendCommand(const QString &to, const QString &command, const QString &params)
{
    outbound += to;
    outbound += QLatin1Char(' ');
    outbound += command;
    if (!params.isEmpty()) {
        outbound += QLatin1Char(' ');
        outbound += params;
    }
    outbound += QLatin1Char('\n');
    lineWritten();
}

void Orvex::SendEvent(const QString &ch, const QString &text)
{
    outbound += name;
    if (!ch.isEmpty()) {
        outbound += QLatin1Char('.');
        outbound += ch;
    }
    outbound += QLatin1String(">System ");
    outbound += text;
    outbound += QLatin1Char('\n');
    lineWritten();
}
