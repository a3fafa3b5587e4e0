#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <chrono>

#include <memory>

class QHostInfo;

// Makes the one TCP connection to the bus server: looks the host up and tries each of its
// addresses once, without blocking. Qt's own connect would try again on the same descriptor
// when a fresh connection is reset, and so reconnect by itself; this never does.
class Connector : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Connector)

public:
    // The connection probes a silent server, so that one that vanished without closing is
    // found lost within about a minute: probes after this many idle seconds, this many apart,
    // and this many unanswered end it.
    static constexpr int KeepAliveIdle = 30;
    static constexpr int KeepAliveInterval = 10;
    static constexpr int KeepAliveProbes = 3;

    // The host lookup and the attempts together take at most this long.
    static constexpr std::chrono::milliseconds ConnectTimeLimit{10000};

    Connector();
    ~Connector() override;

    // Within the time limit (ConnectTimeLimit unless given).
    void open(const QString &host, quint16 port, std::chrono::milliseconds timeLimit = ConnectTimeLimit);
    // Ends the work: stops the timer and lets go of an attempt in progress; nothing is reported.
    void stop();

signals:
    // The descriptor of the connection made; whoever takes it owns it.
    void connected(qintptr descriptor);
    // The host was not found, or none of its addresses took the connection.
    void failed(const QString &why);
    // The server took the connection and let it go at once.
    void dropped(const QString &why);

private:
    void hostFound(const QHostInfo &info);
    void tryNext();
    void attempted();
    void timeUp();

    quint16 port = 0;
    QList<QHostAddress> candidates;   // addresses not tried yet
    std::unique_ptr<QSocketNotifier> pending;
    int descriptor = -1;               // of the attempt in progress
    QTimer limit;   // runs while the work goes on
};

// A second descriptor of the connection made. Qt closes its own as soon as it reads the end,
// and reports a reset as a close; this one, kept open until released, still tells which it was.
class ConnectionWitness
{
    Q_DISABLE_COPY_MOVE(ConnectionWitness)

public:
    ConnectionWitness() = default;
    ~ConnectionWitness() { release(); }

    void watch(qintptr descriptor);
    // The peer reset the connection, rather than closing it.
    bool wasReset() const;
    // Lets the connection go: the last descriptor closed ends it.
    void release();

private:
    int fd = -1;
};
