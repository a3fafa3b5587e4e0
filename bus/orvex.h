#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include "bus/smsg.h"

class QHostInfo;
class QSocketNotifier;
class QTcpSocket;

// The node's one connection to the bus server: login, inbound dispatch, the three senders.
class Orvex : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Orvex)

public:
    enum LinkState { StateChallenge = 0, StateLoginSent = 1, StateReady = 2 };

    // A line without "\n" beyond this is dropped rather than buffered without end.
    static constexpr qint64 MaxLineLength = 1 << 20;
    // A key file beyond this is not read.
    static constexpr qint64 MaxKeyFileSize = 1 << 20;
    // What the link takes from the bus connection at a time; the kernel holds the rest.
    static constexpr qint64 ReadBufferSize = MaxLineLength;
    // Above this many unsent output bytes the link stops reading; below the low mark it goes on.
    static constexpr qint64 OutputHighWater = 16 << 20;
    static constexpr qint64 OutputLowWater = 4 << 20;
    // Lines written while inbound ones are handled go to the socket in pieces of this many characters.
    static constexpr qsizetype OutboundChunk = 64 * 1024;

    Orvex();
    ~Orvex() override;

    void MakeConnection(const QString &name, const QString &keyFile, const QString &server,
                        const QString &port);
    void ReadKeyFile(QString base);
    // Logs in and serves through the device instead of a bus connection: the node driven from
    // a buffer. The link does not own the device.
    void attach(const QString &name, const QStringList &keys, QIODevice *device);

    void SendReply(const SMsg &msg, const QString &text);
    void SendCommand(const QString &to, const QString &command, const QString &params);
    void SendEvent(QString ch, const QString &text);

    QString nodeName() const { return name; }
    QStringList keyList() const { return keys; }
    int linkState() const { return state; }
    QTcpSocket *connection() const { return socket; }
    // Bytes received and not yet handled: the start of a line whose end has not arrived.
    qint64 heldBytes() const;

    // The port as the link uses it: decimal text, 0 when not a number, low 16 bits.
    static quint16 portNumber(const QString &port);
    // Appends the keys of the key file base + ".key" as the link reads them, with the same
    // diagnostics; false when the file gives no key (missing, too large or empty).
    static bool readKeys(const QString &base, QStringList &keys);
    // Index into a key list of the given size for a challenge; -1 when none can be chosen.
    static int keyIndex(int challenge, int keyCount);

signals:
    void ConnectionIsReady(Orvex *s);
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
    void AnsSetValueREL(SMsg msg);
    void AnsGetValue(SMsg msg);
    void AnsStandby(SMsg msg);
    void AnsSyncRun(SMsg msg);
    void EvChangedIsBusy(SMsg msg);
    void EvChangedValue(SMsg msg);
    void AnsSpeed(SMsg msg);   // "@SpeedHigh", "@SpeedMiddle" and "@SpeedLow"

private slots:
    void disconnected();
    void ReceiveMessageFromOrvex();
    void socketError(QAbstractSocket::SocketError error);
    void hostFound(const QHostInfo &info);
    void connectAttempted();
    void outputDrained();

private:
    void connectNext();
    [[noreturn]] void cannotConnect(const QString &why);
    [[noreturn]] void connectionEnded(const QString &why);
    void attach(QIODevice *device);
    void readChallenge();
    void dropLoginAnswer();
    void checkLoginAnswer(const SMsg &answer);
    void dispatchLines();
    void handleLine(QByteArrayView bytes);
    void dispatch(const SMsg &msg);
    void lineWritten();
    void flushOutbound();

    QString name;
    QTcpSocket *socket = nullptr;
    QIODevice *transport = nullptr;   // what the link reads and writes: the socket, or a device
    QStringList keys;
    int keyCount = 0;
    int state = StateChallenge;
    QString serverHost;
    quint16 serverPort = 0;
    QList<QHostAddress> candidates;   // the server's addresses not tried yet
    QSocketNotifier *connecting = nullptr;
    int connectingFd = -1;
    bool discarding = false;    // skipping the tail of an over-long line
    QByteArray inbound;         // what arrived after the last complete line
    QString lineText;           // the line being handled, simplified
    SMsg received;              // its split, reused from line to line
    QString outbound;           // lines written and not yet handed to the socket
    bool holding = false;       // outbound lines wait for the end of the inbound ones' handling
    bool paused = false;        // inbound lines wait until the unsent output has drained
    bool answerPending = false; // the login answer had not arrived whole when the login was taken
};

Q_DECLARE_METATYPE(Orvex *)
