#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include "busline/busline.h"
#include "sim/simaxis.h"

class QTcpSocket;

// A stand-in for the bus server ("System"): logs nodes in with the challenge-and-key exchange,
// routes their lines by receiver, fans events out to subscribers, and hosts simulated
// controller channels as if they were connected nodes.
class BusServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(BusServer)

public:
    explicit BusServer(const QStringList &keys, QObject *parent = nullptr);
    ~BusServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return server.serverPort(); }
    QString errorString() const { return server.errorString(); }

    // A simulated channel; its node name is then taken on the bus.
    SimAxis *addAxis(const AxisSetup &setup, double timeScale);
    QStringList nodeNames() const;

private:
    struct Peer
    {
        enum State { AwaitingLogin, Ready, Closing };
        QTcpSocket *socket = nullptr;
        State state = AwaitingLogin;
        QString challenge;
        QString name;
        QStringList subscriptions;   // node names or full addresses
        QByteArray buffer;
    };

    void accept();
    void readPeer(Peer *peer);
    void dropPeer(Peer *peer);
    void login(Peer *peer, const QString &line);
    void route(Peer *peer, const QString &line);
    void serveSystem(Peer *peer, const BusLine::Message &msg);
    void publish(const QString &from, const QString &event);
    // Writes "from>to text" to the node that owns the receiver; false when none is connected.
    bool deliver(const QString &from, const QString &to, const QString &text);
    // Answers "System>... @word Er: reason" and logs the command as written (default: the word).
    void refuse(Peer *peer, const QString &word, const QString &reason, const QString &command = {});
    void write(Peer *peer, const QString &line);
    Peer *peerNamed(const QString &name) const;
    bool nameTaken(const QString &name) const;

    QTcpServer server;
    const QStringList keys;
    QList<Peer *> peers;       // in order of connection
    QList<SimAxis *> axes;
};
