#include "sim/busserver.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTcpSocket>

using BusLine::nodeOf;

namespace {

const QString systemName = QStringLiteral("System");

} // namespace

BusServer::BusServer(const QStringList &keys, QObject *parent)
    : QObject(parent)
    , keys(keys)
{
    connect(&server, &QTcpServer::newConnection, this, &BusServer::accept);
}

BusServer::~BusServer()
{
    for (Peer *peer : std::as_const(peers))
        peer->socket->disconnect(this);
    qDeleteAll(peers);
}

bool BusServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

SimAxis *BusServer::addAxis(const AxisSetup &setup, double timeScale)
{
    auto *axis = new SimAxis(setup, timeScale, this);
    const QString address = axis->address();
    connect(axis, &SimAxis::replied, this,
            [this, address](const QString &to, const QString &text) { deliver(address, to, text); });
    connect(axis, &SimAxis::announced, this,
            [this, address](const QString &text) { publish(address, text); });
    axes.append(axis);
    return axis;
}

QStringList BusServer::nodeNames() const
{
    QStringList names;
    for (const Peer *peer : peers) {
        if (peer->state == Peer::Ready)
            names.append(peer->name);
    }
    return names;
}

void BusServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        auto *peer = new Peer;
        peer->socket = socket;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);   // lines are small and answered at once
        peer->challenge = QString::number(QRandomGenerator::global()->bounded(1000000));
        peers.append(peer);
        connect(socket, &QTcpSocket::readyRead, this, [this, peer] { readPeer(peer); });
        connect(socket, &QTcpSocket::disconnected, this, [this, peer] { dropPeer(peer); });
        write(peer, peer->challenge);
    }
}

void BusServer::readPeer(Peer *peer)
{
    if (peer->state == Peer::Closing) {
        peer->socket->readAll();
        return;
    }
    peer->buffer += peer->socket->readAll();
    qsizetype end;
    while (peer->state != Peer::Closing && (end = peer->buffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(peer->buffer.left(end)).simplified();
        peer->buffer.remove(0, end + 1);
        if (line.isEmpty())
            continue;
        if (peer->state == Peer::AwaitingLogin)
            login(peer, line);
        else
            route(peer, line);
    }
    if (peer->state != Peer::Closing && peer->buffer.size() > BusLine::MaxLength) {
        refuse(peer, QStringLiteral("Line"), QStringLiteral("Line too long"),
               QStringLiteral("%1 bytes without a line end").arg(peer->buffer.size()));
        peer->state = Peer::Closing;
    }
    // Last, as closing may drop the peer at once.
    if (peer->state == Peer::Closing)
        peer->socket->disconnectFromHost();
}

void BusServer::dropPeer(Peer *peer)
{
    if (!peers.removeOne(peer))
        return;
    if (!peer->name.isEmpty())
        qDebug() << "logged out" << peer->name;
    peer->socket->disconnect(this);
    peer->socket->deleteLater();
    delete peer;
}

void BusServer::login(Peer *peer, const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '));
    const QString name = words.value(0);
    const int index = BusLine::keyIndex(peer->challenge, keys.size());
    const QString expected = index < 0 ? QString() : keys.at(index);
    QString reason;
    if (name.contains(QLatin1Char('.')) || name.contains(QLatin1Char('>')))
        reason = QStringLiteral("Name [%1] is not a node name").arg(name);
    else if (words.size() != 2 || expected.isEmpty() || words.at(1) != expected)
        reason = QStringLiteral("Wrong key");
    else if (nameTaken(name))
        reason = QStringLiteral("Name [%1] is already in use").arg(name);

    peer->name = name;
    if (!reason.isEmpty()) {
        refuse(peer, QStringLiteral("login"), reason);   // the key stays out of the log
        peer->name.clear();
        peer->state = Peer::Closing;
        return;
    }
    peer->state = Peer::Ready;
    write(peer, QStringLiteral("System>%1 @login Ok:").arg(name));
    qDebug() << "logged in" << name;
}

void BusServer::route(Peer *peer, const QString &line)
{
    // A line may name its sender; without one it comes from the peer's node itself.
    const bool hasSender = line.section(QLatin1Char(' '), 0, 0).contains(QLatin1Char('>'));
    const QString full = hasSender ? line : peer->name + QLatin1Char('>') + line;
    BusLine::Message msg;
    if (!msg.split(full)) {
        refuse(peer, QStringLiteral("Line"), QStringLiteral("Not a bus line [%1]").arg(line), line);
        return;
    }
    if (nodeOf(msg.from) != peer->name) {
        refuse(peer, msg.word, QStringLiteral("Sender [%1] is not [%2]").arg(msg.from, peer->name), line);
        return;
    }
    const QString toNode = nodeOf(msg.to);

    if (toNode == systemName) {
        serveSystem(peer, msg);
        return;
    }
    bool simulatedNode = false;
    for (SimAxis *axis : std::as_const(axes)) {
        if (nodeOf(axis->address()) != toNode)
            continue;
        simulatedNode = true;
        if (axis->address() == msg.to) {
            axis->handle(msg);
            return;
        }
    }
    if (simulatedNode) {
        const QString reason = QStringLiteral("Channel [%1] is not defined").arg(msg.to);
        deliver(msg.to, msg.from, QStringLiteral("@%1 Er: %2").arg(msg.word, reason));
        logRefusal(msg.from, msg.to + QLatin1Char(' ') + msg.tail, reason);
        return;
    }
    if (deliver(msg.from, msg.to, msg.tail))
        return;
    // A reply that cannot be delivered is dropped: answering it would start an exchange.
    if (!msg.word.startsWith(QLatin1Char('@')))
        refuse(peer, msg.word, QStringLiteral("Node [%1] is not connected").arg(toNode), line);
}

void BusServer::serveSystem(Peer *peer, const BusLine::Message &msg)
{
    if (msg.word.startsWith(QLatin1Char('_'))) {
        publish(msg.from, msg.tail);
        return;
    }
    const bool on = msg.word == QLatin1String("flgon");
    if (on || msg.word == QLatin1String("flgoff")) {
        const QString address = msg.params.value(0);
        if (address.isEmpty()) {
            refuse(peer, msg.word, QStringLiteral("Address is not given"), msg.to + QLatin1Char(' ') + msg.tail);
            return;
        }
        if (on && !peer->subscriptions.contains(address)) {
            peer->subscriptions.append(address);
            qDebug() << peer->name << "follows" << address;
        } else if (!on && peer->subscriptions.removeAll(address) > 0) {
            qDebug() << peer->name << "no longer follows" << address;
        }
        deliver(systemName, msg.from, QStringLiteral("@%1 Ok:").arg(msg.word));
        return;
    }
    if (!msg.word.startsWith(QLatin1Char('@')))
        refuse(peer, msg.word, QStringLiteral("Undefined Command"), msg.to + QLatin1Char(' ') + msg.tail);
}

void BusServer::publish(const QString &from, const QString &event)
{
    const QString node = nodeOf(from);
    for (Peer *peer : std::as_const(peers)) {
        // Once per subscriber, however many of its subscriptions match.
        if (peer->state == Peer::Ready
            && (peer->subscriptions.contains(node) || peer->subscriptions.contains(from)))
            write(peer, from + QLatin1Char('>') + peer->name + QLatin1Char(' ') + event);
    }
}

bool BusServer::deliver(const QString &from, const QString &to, const QString &text)
{
    Peer *peer = peerNamed(nodeOf(to));
    if (!peer)
        return false;
    write(peer, from + QLatin1Char('>') + to + QLatin1Char(' ') + text);
    return true;
}

void BusServer::refuse(Peer *peer, const QString &word, const QString &reason, const QString &command)
{
    const QString to = peer->name.isEmpty() ? QStringLiteral("unknown") : peer->name;
    write(peer, QStringLiteral("System>%1 @%2 Er: %3").arg(to, word, reason));
    // A peer that has not named itself yet is known by its address.
    const QString sender = peer->name.isEmpty()
        ? QStringLiteral("%1:%2").arg(peer->socket->peerAddress().toString()).arg(peer->socket->peerPort())
        : peer->name;
    logRefusal(sender, command.isEmpty() ? word : command, reason);
}

void BusServer::write(Peer *peer, const QString &line)
{
    peer->socket->write((line + QLatin1Char('\n')).toUtf8());
}

BusServer::Peer *BusServer::peerNamed(const QString &name) const
{
    for (Peer *peer : peers) {
        if (peer->state == Peer::Ready && peer->name == name)
            return peer;
    }
    return nullptr;
}

bool BusServer::nameTaken(const QString &name) const
{
    if (name == systemName || peerNamed(name))
        return true;
    return std::any_of(axes.cbegin(), axes.cend(),
                       [&name](const SimAxis *axis) { return nodeOf(axis->address()) == name; });
}
