#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

#include "bus/connector.h"
#include "bus/smsg.h"

// The node's one connection to the bus server: login, framing, back-pressure, inbound dispatch
// and the three senders. It reports its end through finished() and leaves ending to its owner.
class Orvex : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Orvex)

public:
    enum class State { Unconnected, Connecting, AwaitingChallenge, LoginSent, Ready, Stopping, Ended };

    // A line longer than this, without its "\n", is dropped whole rather than buffered without end.
    static constexpr qint64 MaxLineLength = 1 << 20;
    // The challenge is a number; a longer first line is no challenge.
    static constexpr qint64 MaxChallengeLength = 64;
    // How long the link waits for the challenge once connected, and for the answer to its login line.
    static constexpr std::chrono::milliseconds LoginTimeLimit = std::chrono::seconds(10);
    // What the link takes from the bus connection at a time; the kernel holds the rest.
    static constexpr qint64 ReadBufferSize = MaxLineLength;
    // Above this many unsent output bytes the link stops reading; below the low mark it goes on.
    static constexpr qint64 OutputHighWater = 16 << 20;
    static constexpr qint64 OutputLowWater = 4 << 20;
    // Lines written while inbound ones are handled go to the socket in pieces of this many characters.
    static constexpr qsizetype OutboundChunk = 64 * 1024;

    Orvex();
    ~Orvex() override;

    // Connects to the bus server and logs in as name with one of the keys.
    void connectToServer(const QString &name, const QStringList &keys, const QString &host, quint16 port);
    // Logs in and serves through the device instead of a bus connection: the node driven from
    // a buffer. The link does not own the device.
    void attach(const QString &name, const QStringList &keys, QIODevice *device);

    // Ends the link on the owner's word: what is written goes out first, for at most
    // StopTimeLimit, then finished(0, why).
    void stop(const QString &why);
    static constexpr std::chrono::milliseconds StopTimeLimit{1000};

    void SendReply(const SMsg &msg, const QString &text);
    // The same with the text in parts, written one after the other without joining them first.
    void SendReply(const SMsg &msg, std::initializer_list<QStringView> text);
    void SendCommand(const QString &to, const QString &command, const QString &params);
    void SendEvent(const QString &ch, const QString &text);

    // Shorter waits for connecting and for a login, for tests; set before connecting.
    void setLoginTimeLimit(std::chrono::milliseconds limit) { loginTimeLimit = limit; }
    void setConnectTimeLimit(std::chrono::milliseconds limit) { connectTimeLimit = limit; }

    QString nodeName() const { return name; }
    State state() const { return linkState; }
    // The bus connection's descriptor; -1 before it is made and after the link has ended.
    qintptr socketDescriptor() const { return socket.socketDescriptor(); }
    // Bytes received and not yet handled: the start of a line whose end has not arrived.
    qint64 heldBytes() const;

signals:
    void ConnectionIsReady(Orvex *s);
    // The link has ended for good: status 0 when the bus connection ended, 1 when it could not
    // be made or the login failed; why is the line to log.
    void finished(int status, const QString &why);

    void AskHelp(SMsg msg);
    void AskGetChs(SMsg msg);
    void AskGetChInfo(SMsg msg);
    void AskIsBusy(SMsg msg);
    void AskRemote(SMsg msg);
    void AskStopEmergency(SMsg msg);
    void AskStop(SMsg msg);
    void AskSetValue(SMsg msg);
    void AskSetValueREL(SMsg msg);
    void AskGetValue(SMsg msg);
    void AskSpeedHigh(SMsg msg);
    void AskSpeedMiddle(SMsg msg);
    void AskSpeedLow(SMsg msg);
    void AnsStopEmergency(SMsg msg);
    void AnsStop(SMsg msg);
    void AnsRemote(SMsg msg);
    void AnsSetValue(SMsg msg);
    void AnsGetValue(SMsg msg);
    void AnsSpeed(SMsg msg);   // "@SpeedHigh", "@SpeedMiddle" and "@SpeedLow"
    void EvChangedIsBusy(SMsg msg);
    void EvChangedValue(SMsg msg);

private:
    void transportReadyRead();
    void transportDrained();
    void socketConnected(qintptr descriptor);
    void socketDisconnected();
    void socketError(QAbstractSocket::SocketError error);
    void end(int status, const QString &why);
    void lost(const QString &why);

    void attach(QIODevice *device);
    void awaitLoginStep();
    // The login step or the stop awaited took its whole time.
    void timeUp();
    void readChallenge();
    void takeLoginAnswer();
    bool loginRefused(const SMsg &answer);
    void dispatchLines();
    void dispatch(const SMsg &msg);
    void lineWritten();
    void flushOutbound();

    QString name;
    QStringList keys;
    QString serverHost;
    quint16 serverPort = 0;
    State linkState = State::Unconnected;
    QString stopReason;
    QTcpSocket socket;
    Connector connector;
    ConnectionWitness witness;
    QIODevice *transport = nullptr;   // what the link reads and writes: the socket, or a device
    std::chrono::milliseconds loginTimeLimit = LoginTimeLimit;
    std::chrono::milliseconds connectTimeLimit = Connector::ConnectTimeLimit;
    QTimer timer;   // runs out when the login step or the stop awaited has taken its time
    bool discarding = false;    // skipping the tail of an over-long line
    QByteArray inbound;         // what arrived after the last complete line
    QString lineText;           // room for the line being handled, simplified
    SMsg received;              // its split, reused from line to line
    QString outbound;           // lines written and not yet handed to the socket
    bool holding = false;       // outbound lines wait for the end of the inbound ones' handling
    bool paused = false;        // inbound lines wait until the unsent output has drained
};

Q_DECLARE_METATYPE(Orvex *)
