#include "bus/orvex.h"

#include <QDebug>
#include <QFile>
#include <QTcpSocket>
#include <QTextStream>

#include <cstdlib>

#include "bus/vocabulary.h"

Orvex::Orvex()
    : QObject(nullptr)
{
    qRegisterMetaType<SMsg>("SMsg");
    qRegisterMetaType<Orvex *>("Orvex*");
}

Orvex::~Orvex()
{
    // The socket outlives the link; make sure it no longer calls into it.
    if (socket)
        socket->disconnect();
}

quint16 Orvex::portNumber(const QString &port)
{
    bool ok = false;
    const int value = port.toInt(&ok, 10);
    return quint16(ok ? value : 0);
}

QStringList Orvex::keysOf(QString file)
{
    if (file.endsWith(QLatin1String(".key")))
        file.chop(4);
    Orvex reader;
    reader.ReadKeyFile(file);
    return reader.keys;
}

int Orvex::keyIndex(int challenge, int keyCount)
{
    if (keyCount <= 0 || challenge < 0)
        return -1;
    return challenge % keyCount;
}

void Orvex::MakeConnection(const QString &name, const QString &keyFile, const QString &server,
                           const QString &port)
{
    this->name = name;
    ReadKeyFile(keyFile);
    qDebug() << "make connection" << name << keyFile << server << port;

    socket = new QTcpSocket;
    state = StateChallenge;
    connect(socket, &QTcpSocket::readyRead, this, &Orvex::ReceiveMessageFromOrvex,
            Qt::UniqueConnection);
    connect(socket, &QTcpSocket::disconnected, this, &Orvex::disconnected);
    // A node that never reaches its server must say so and end, so a supervisor can act.
    connect(socket, &QTcpSocket::connected, this, [this] {
        established = true;
        // Replies go out as they are written, not held back for the peer's acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    });
    connect(socket, &QTcpSocket::errorOccurred, this, &Orvex::socketError);

    socket->connectToHost(server, portNumber(port), QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
}

void Orvex::ReadKeyFile(QString base)
{
    QFile file(base + QStringLiteral(".key"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << tr("Cannot open [%1.key]").arg(base);
        file.setFileName(QStringLiteral(":") + base + QStringLiteral(".key"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qDebug() << tr("Cannot open [:%2.key]").arg(base);
            std::exit(1);
        }
    }
    QTextStream in(&file);
    while (!in.atEnd()) {
        QString word;
        in >> word;
        if (!word.isEmpty())
            keys.append(word);
    }
    keyCount = int(keys.size());
    file.close();

    if (keyCount == 0) {
        // No challenge could ever select a key; better to stop before connecting.
        qDebug() << tr("No key in [%1]").arg(file.fileName());
        std::exit(1);
    }
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
    const QByteArray line = socket->readLine().simplified();
    const int challenge = line.toInt(nullptr, 10);
    const int index = keyIndex(challenge, keyCount);
    if (index < 0) {
        qDebug() << tr("Challenge [%1] selects no key").arg(challenge);
        std::exit(1);
    }
    state = StateLoginSent;
    writeLine(QStringLiteral("%1 %2\n").arg(name, keys.at(index)));
}

void Orvex::dropLoginAnswer()
{
    while (socket->canReadLine())
        socket->readLine();
    state = StateReady;
    emit ConnectionIsReady(this);
}

void Orvex::dispatchLines()
{
    SMsg msg;
    for (;;) {
        if (!socket->canReadLine()) {
            if (discarding || socket->bytesAvailable() > MaxLineLength) {
                if (!discarding)
                    qDebug() << tr("Dropped an inbound line longer than %1 bytes").arg(MaxLineLength);
                discarding = true;
                socket->readAll();
            }
            return;
        }
        const QByteArray bytes = socket->readLine().simplified();
        if (discarding) {
            discarding = false;   // this was the tail of the dropped line
            continue;
        }
        msg.Parse(QString::fromUtf8(bytes));
        dispatch(msg);
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
    case VocabAnsSetValueREL: emit AnsSetValueREL(msg); break;
    case VocabAnsGetValue: emit AnsGetValue(msg); break;
    case VocabAnsStandby: emit AnsStandby(msg); break;
    case VocabAnsSyncRun: emit AnsSyncRun(msg); break;
    case VocabEnd:
        if (!msg.command.startsWith(QLatin1Char('@')))
            SendReply(msg, QStringLiteral("Er: Undefined Command"));
        break;
    default:   // replies that nobody listens to
        break;
    }
}

void Orvex::disconnected()
{
    std::exit(0);
}

void Orvex::socketError(QAbstractSocket::SocketError)
{
    if (established)
        return;   // a lost connection ends through disconnected()
    qDebug() << tr("Cannot connect to the bus server: %1").arg(socket->errorString());
    std::exit(1);
}

void Orvex::writeLine(const QString &line)
{
    if (socket)
        socket->write(line.toLatin1());
}

void Orvex::SendReply(const SMsg &msg, const QString &text)
{
    // One pass, so a "%" in an address or a text is never taken for a placeholder.
    writeLine(QStringLiteral("%1>%2 @%3 %4\n").arg(msg.to, msg.from, msg.command, text));
}

void Orvex::SendCommand(const QString &to, const QString &command, const QString &params)
{
    QString line = to + QLatin1Char(' ') + command;
    if (!params.isEmpty())
        line += QLatin1Char(' ') + params;
    writeLine(line + QLatin1Char('\n'));
}

void Orvex::SendEvent(QString ch, const QString &text)
{
    QString line = name;
    if (!ch.isEmpty())
        line += QLatin1Char('.') + ch;
    writeLine(line + QStringLiteral(">System ") + text + QLatin1Char('\n'));
}
