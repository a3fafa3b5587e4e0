#include "bus/orvex.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTextStream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus/vocabulary.h"
#include "config/diagnostic.h"

Orvex::Orvex()
    : QObject(nullptr)
{
    qRegisterMetaType<SMsg>("SMsg");
    qRegisterMetaType<Orvex *>("Orvex*");
}

Orvex::~Orvex()
{
    // The socket or device outlives the link; make sure it no longer calls into it.
    if (transport)
        transport->disconnect(this);
}

quint16 Orvex::portNumber(const QString &port)
{
    bool ok = false;
    const int value = port.toInt(&ok, 10);
    return quint16(ok ? value : 0);
}

int Orvex::keyIndex(int challenge, int keyCount)
{
    if (keyCount <= 0 || challenge < 0)
        return -1;
    return challenge % keyCount;
}

qint64 Orvex::heldBytes() const
{
    return inbound.size() + (transport ? transport->bytesAvailable() : 0);
}

void Orvex::MakeConnection(const QString &name, const QString &keyFile, const QString &server,
                           const QString &port)
{
    this->name = name;
    ReadKeyFile(keyFile);
    qDebug() << "make connection" << name << keyFile << server << port;

    socket = new QTcpSocket;
    socket->setReadBufferSize(ReadBufferSize);
    attach(socket);
    connect(socket, &QTcpSocket::disconnected, this, &Orvex::disconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &Orvex::socketError);
    connect(socket, &QTcpSocket::bytesWritten, this, &Orvex::outputDrained);

    // The connection is made here, once: Qt's own connect tries again on the same descriptor
    // when a fresh connection is reset, and so would reconnect by itself.
    serverHost = server;
    serverPort = portNumber(port);
    QHostInfo::lookupHost(server, this, &Orvex::hostFound);
}

void Orvex::hostFound(const QHostInfo &info)
{
    candidates = info.addresses();
    if (info.error() != QHostInfo::NoError || candidates.isEmpty())
        cannotConnect(info.errorString());
    connectNext();
}

void Orvex::connectNext()
{
    int error = 0;
    while (!candidates.isEmpty()) {
        const QHostAddress address = candidates.takeFirst();
        sockaddr_storage peer = {};
        socklen_t length = 0;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            auto *in = reinterpret_cast<sockaddr_in *>(&peer);
            in->sin_family = AF_INET;
            in->sin_port = htons(serverPort);
            in->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof(sockaddr_in);
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(serverPort);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
            in6->sin6_scope_id = address.scopeId().toUInt();
            length = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && (::connect(fd, reinterpret_cast<sockaddr *>(&peer), length) == 0 || errno == EINPROGRESS)) {
            connectingFd = fd;
            connecting = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(connecting, &QSocketNotifier::activated, this, &Orvex::connectAttempted);
            return;
        }
        error = errno;
        if (fd >= 0)
            ::close(fd);
    }
    cannotConnect(QString::fromLocal8Bit(std::strerror(error ? error : ECONNREFUSED)));
}

void Orvex::connectAttempted()
{
    connecting->setEnabled(false);
    connecting->deleteLater();
    connecting = nullptr;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(connectingFd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == 0) {
        socket->setSocketDescriptor(connectingFd, QAbstractSocket::ConnectedState);
        // Replies go out as they are written, not held back for the peer's acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return;
    }
    ::close(connectingFd);
    if (error == ECONNRESET || error == EPIPE)   // made and lost at once: the server took it and let it go
        connectionEnded(tr("The bus connection was lost: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    connectNext();
}

void Orvex::cannotConnect(const QString &why)
{
    qDebug() << tr("Cannot connect to the bus server %1 port %2: %3").arg(serverHost).arg(serverPort).arg(why);
    std::exit(1);
}

void Orvex::attach(QIODevice *device)
{
    transport = device;
    state = StateChallenge;
    connect(transport, &QIODevice::readyRead, this, &Orvex::ReceiveMessageFromOrvex,
            Qt::UniqueConnection);
}

void Orvex::attach(const QString &name, const QStringList &keys, QIODevice *device)
{
    this->name = name;
    this->keys = keys;
    keyCount = int(keys.size());
    attach(device);
}

void Orvex::ReadKeyFile(QString base)
{
    if (!readKeys(base, keys))
        std::exit(1);
    keyCount = int(keys.size());
}

bool Orvex::readKeys(const QString &base, QStringList &keys)
{
    // Only a regular file: a pipe or a device could block the node or never end.
    const auto open = [](QFile &file) {
        return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly | QIODevice::Text);
    };
    QFile file(base + QStringLiteral(".key"));
    if (!open(file)) {
        Diagnostic() << tr("Cannot open [%1.key]").arg(base);
        file.setFileName(QStringLiteral(":") + base + QStringLiteral(".key"));
        if (!open(file)) {
            Diagnostic() << tr("Cannot open [:%2.key]").arg(base);
            return false;
        }
    }
    if (file.size() > MaxKeyFileSize) {
        Diagnostic() << tr("Key file [%1] is larger than %2 bytes, not read").arg(file.fileName(), QString::number(MaxKeyFileSize));
        return false;
    }
    QTextStream in(&file);
    const qsizetype before = keys.size();
    while (!in.atEnd()) {
        QString word;
        in >> word;
        if (!word.isEmpty())
            keys.append(word);
    }
    // No challenge could ever select a key; better to stop before connecting.
    if (keys.size() == before) {
        Diagnostic() << tr("No key in [%1]").arg(file.fileName());
        return false;
    }
    return true;
}

void Orvex::ReceiveMessageFromOrvex()
{
    switch (state) {
    case StateChallenge:
        readChallenge();
        break;
    case StateLoginSent:
        dropLoginAnswer();
        break;
    default:
        dispatchLines();
        break;
    }
}

void Orvex::readChallenge()
{
    const QByteArray line = transport->readLine().simplified();
    const int challenge = line.toInt(nullptr, 10);
    const int index = keyIndex(challenge, keyCount);
    if (index < 0) {
        qDebug() << tr("Challenge [%1] selects no key").arg(challenge);
        std::exit(1);
    }
    state = StateLoginSent;
    outbound += name;
    outbound += QLatin1Char(' ');
    outbound += keys.at(index);
    outbound += QLatin1Char('\n');
    lineWritten();
    qDebug() << tr("Login line written as %1").arg(name);
}

void Orvex::dropLoginAnswer()
{
    answerPending = !transport->canReadLine();
    while (transport->canReadLine()) {
        SMsg answer;
        answer.Parse(QString::fromUtf8(transport->readLine()));
        checkLoginAnswer(answer);
    }
    state = StateReady;
    qDebug() << tr("Logged in to the bus server as %1").arg(name);
    // The priming lines go out together, like the answers to a read.
    holding = true;
    emit ConnectionIsReady(this);
    holding = false;
    flushOutbound();
}

void Orvex::dispatchLines()
{
    // While replies wait to be sent, nothing more is read: the bus server sees a slow reader.
    if (paused)
        return;
    // Take all that arrived at once and split it here: one copy per read, none per line.
    if (inbound.isEmpty())
        inbound = transport->readAll();
    else
        inbound.append(transport->readAll());

    qsizetype start = 0;
    holding = true;
    for (qsizetype end; (end = inbound.indexOf('\n', start)) >= 0; start = end + 1) {
        if (discarding) {
            discarding = false;   // this was the tail of the dropped line
            continue;
        }
        if (transport->bytesToWrite() + outbound.size() > OutputHighWater) {
            paused = true;
            break;
        }
        handleLine(QByteArrayView(inbound.constData() + start, end - start));
    }
    holding = false;
    flushOutbound();
    inbound.remove(0, start);

    if (!paused && (discarding || inbound.size() > MaxLineLength)) {
        if (!discarding)
            qDebug() << tr("Dropped an inbound line longer than %1 bytes").arg(MaxLineLength);
        discarding = true;
        inbound.clear();
    }
}

void Orvex::outputDrained()
{
    if (paused && transport->bytesToWrite() <= OutputLowWater) {
        paused = false;
        dispatchLines();
    }
}

void Orvex::handleLine(QByteArrayView bytes)
{
    // An ASCII line is simplified and decoded in one pass; any other is decoded as UTF-8 and
    // simplified as a whole, so Unicode white space counts as well.
    lineText.resize(bytes.size());
    QChar *out = lineText.data();
    qsizetype length = 0;
    bool gap = false;
    for (const char c : bytes) {
        if (c & 0x80) {
            received.Parse(QString::fromUtf8(QByteArray(bytes.data(), bytes.size()).simplified()));
            dispatch(received);
            return;
        }
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            gap = length > 0;
            continue;
        }
        if (gap) {
            out[length++] = QLatin1Char(' ');
            gap = false;
        }
        out[length++] = QLatin1Char(c);
    }
    received.parseSimplified(QStringView(out, length));
    dispatch(received);
}

void Orvex::dispatch(const SMsg &msg)
{
    if (msg.form == FormIncomplete)
        return;
    if (answerPending)   // the rest of a login answer that came in pieces
        checkLoginAnswer(msg);
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
    case VocabAnsSetValueREL: emit AnsSetValueREL(msg); break;
    case VocabAnsGetValue: emit AnsGetValue(msg); break;
    case VocabAnsStandby: emit AnsStandby(msg); break;
    case VocabAnsSyncRun: emit AnsSyncRun(msg); break;
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

void Orvex::checkLoginAnswer(const SMsg &answer)
{
    // Serving under a refused login would only look like service; the key or name is wrong.
    answerPending = false;
    if (answer.from == QLatin1String("System") && answer.command == QLatin1String("@login")
        && answer.params.startsWith(QLatin1String("Er:"))) {
        qDebug() << tr("The bus server refused the login: %1").arg(answer.params);
        std::exit(1);
    }
}

void Orvex::disconnected()
{
    connectionEnded(tr("The bus server closed the connection"));
}

void Orvex::socketError(QAbstractSocket::SocketError error)
{
    // The socket only ever holds a connection that was made; losing it ends the node as
    // closing does, whether or not Qt reports the close as well.
    if (error == QAbstractSocket::RemoteHostClosedError)
        disconnected();
    connectionEnded(tr("The bus connection was lost: %1").arg(socket->errorString()));
}

void Orvex::connectionEnded(const QString &why)
{
    qDebug() << why;
    std::exit(0);
}

void Orvex::lineWritten()
{
    // While inbound lines are handled, what they cause goes to the socket in one write.
    if (!holding || outbound.size() >= OutboundChunk)
        flushOutbound();
}

void Orvex::flushOutbound()
{
    // Latin-1 on the wire: a character beyond it goes out as "?".
    if (transport && !outbound.isEmpty())
        transport->write(outbound.toLatin1());
    outbound.resize(0);   // keeps its capacity
}

void Orvex::SendReply(const SMsg &msg, const QString &text)
{
    // Built part by part, so a "%" in an address or a text is never taken for a placeholder.
    outbound += msg.to;
    outbound += QLatin1Char('>');
    outbound += msg.from;
    outbound += QLatin1String(" @");
    outbound += msg.command;
    outbound += QLatin1Char(' ');
    outbound += text;
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

void Orvex::SendEvent(QString ch, const QString &text)
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
