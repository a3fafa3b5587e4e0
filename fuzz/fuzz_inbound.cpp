// The whole inbound path: bytes as they come off the connection, in pieces, through the login and
// the dispatch into a node with a few aliases; every line the node writes back is checked.
#include <QCoreApplication>
#include <QHash>
#include <QIODevice>
#include <QSet>

#include <cstdint>
#include <cstring>

#include "bus/orvex.h"
#include "config/paramstore.h"
#include "node/body.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The connection: what is fed is read as from a socket, what the node writes is kept.
class Wire : public QIODevice
{
public:
    Wire() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return pending.contains('\n') || QIODevice::canReadLine(); }
    void feed(const QByteArray &bytes)
    {
        pending += bytes;
        emit readyRead();
    }
    QByteArray written;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const QByteArray taken = pending.left(qsizetype(maxSize));
        pending.remove(0, taken.size());
        if (data && !taken.isEmpty())   // no buffer: the bytes are skipped
            std::memcpy(data, taken.constData(), size_t(taken.size()));
        return taken.size();
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        written.append(data, qsizetype(size));
        return size;
    }

private:
    QByteArray pending;
};

// What the configuration below makes: four proxies (m4 shares m1's address) and five aliases.
constexpr int Proxies = 4;
const QSet<QByteArray> addresses = {"pmc01.ax1", "pmc01.ax2", "pmc02"};
const QSet<QByteArray> subscribed = {"pmc01", "pmc01.ax1", "pmc01.ax2", "pmc02"};
const QSet<QByteArray> aliases = {"gap", "centre", "solo", "twin", "still"};
// The controller word that each client word to an alias may cause, twice at most.
const QHash<QByteArray, QByteArray> causes = {
    {"StopEmergency", "StopEmergency"}, {"Stop", "Stop"}, {"Remote", "Remote"},
    {"GetValue", "GetValue"}, {"SetValue", "SetValue"}, {"SetValueREL", "SetValue"},
    {"SpeedHigh", "SpeedHigh"}, {"SpeedMiddle", "SpeedMiddle"}, {"SpeedLow", "SpeedLow"}};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static int argc = 1;
    static char name[] = "fuzz_inbound";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // A repeated id and an alias over an unknown id are refused when the node is built.
    for (const char *entry : {"PM m1 pmc01 ax1", "PM m2 pmc01 ax2", "PM m3 pmc02", "PM m4 pmc01 ax1",
                              "PM m1 pmc03 ax9", "ALIAS gap m1 m2 1 1 0", "ALIAS centre m1 m2 0.5 -0.5 0",
                              "ALIAS solo m3 m3 1 0 0", "ALIAS twin m1 m4 1 1 0", "ALIAS still m2 m3 0 0 5",
                              "ALIAS lost m1 m9 1 1 0"}) {
        const QString text = QString::fromLatin1(entry);
        gParams.addEntry(text.section(' ', 0, 0), text.section(' ', 1, 1), text.mid(text.indexOf(' ')));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Pieces as they arrive, split at 0x01; the challenge is the first whole line, however it came.
    const QList<QByteArray> pieces = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\x01');
    const QByteArray all = pieces.join();
    const qsizetype eol = all.indexOf('\n');
    const int challenge = all.left(eol).simplified().toInt();
    Wire wire;
    auto *link = new Orvex;
    link->attach(QStringLiteral("zerlint0"), {QStringLiteral("k0"), QStringLiteral("k1")}, &wire);
    Body body(link, gParams);
    QList<int> ended;
    QObject::connect(&body, &Body::finished, [&ended](int status) { ended.append(status); });
    for (const QByteArray &piece : pieces)
        wire.feed(piece);
    if (eol < 0 || eol > Orvex::MaxChallengeLength) {   // no challenge line, or one too long: nothing is said
        require(wire.written.isEmpty());
        return 0;
    }
    if (challenge < 0) {   // selects no key: the link ends and says nothing
        require(wire.written.isEmpty() && ended == QList<int>{1});
        return 0;
    }
    if (!ended.isEmpty()) {   // a refused login: nothing but the login line and the priming
        require(ended == QList<int>{1});
        const QList<QByteArray> lines = wire.written.split('\n');
        for (qsizetype i = 1; i + 1 < lines.size(); ++i)
            require(lines[i].startsWith("System flgon ") || lines[i].endsWith(" GetValue"));
        return 0;
    }

    // The lines as the node splits them, after the challenge: whom a reply may answer, and the
    // controller lines that the client commands to aliases may cause, besides the priming.
    const QByteArray stream = all.mid(eol + 1);
    QSet<QByteArray> askers;
    QHash<QByteArray, int> budget = {{"GetValue", Proxies}, {"flgon", 2 * Proxies}};
    for (const QByteArray &line : stream.split('\n')) {
        SMsg msg;
        if (msg.Parse(QString::fromUtf8(line)) != FormMessage)
            continue;
        askers.insert((msg.to + QLatin1Char('>') + msg.from + QLatin1String(" @") + msg.command + QLatin1Char(' ')).toLatin1());
        const QByteArray command = msg.command.toUtf8();
        if (aliases.contains(msg.toCh.toUtf8()) && causes.contains(command))
            budget[causes.value(command)] += 2;
    }

    const QByteArray &out = wire.written;
    require(out.endsWith('\n') && !out.startsWith('\n') && !out.contains("\n\n") && !out.contains('\r'));
    QList<QByteArray> lines = out.split('\n');
    lines.removeLast();
    require(lines.value(0) == "zerlint0 k" + QByteArray::number(challenge % 2));
    QHash<QByteArray, int> sent;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> words = lines.at(i).split(' ');
        if (words[0].contains('>') && words.value(1).startsWith('@')) {
            require(askers.contains(words[0] + ' ' + words[1] + ' '));
            continue;
        }
        if (words[0].contains('>')) {
            // An alias's event, to System.
            const QByteArray &from = words[0];
            require(from.startsWith("zerlint0.") && from.endsWith(">System")
                    && aliases.contains(from.mid(9, from.size() - 16)) && words.size() == 3);
            require((words[1] == "_ChangedValue" && !words[2].isEmpty())
                    || (words[1] == "_ChangedIsBusy" && (words[2] == "0" || words[2] == "1")));
            continue;
        }
        const QByteArray &word = words.value(1);
        bool number = false;
        if (words[0] == "System")
            require(word == "flgon" && words.size() == 3 && subscribed.contains(words[2]));
        else if (word == "SetValue")
            require(words.size() == 3 && words[2] == QByteArray::number(words[2].toInt(&number)) && number);
        else
            require(words.size() == 2 && !causes.key(word).isEmpty());
        require(words[0] == "System" || addresses.contains(words[0]));
        require(++sent[word] <= budget.value(word));
    }
    return 0;
}
