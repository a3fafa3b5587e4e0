#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "bus/orvex.h"
#include "bus/vocabulary.h"
#include "fakebus.h"

namespace {

const QByteArray kMarker = "m>q Marker\n";
const QByteArray kMarkerReply = "q>m @Marker Er: Undefined Command";

// A link in this process, connected to a fake bus. The link ends the process when its
// connection drops, so it and its socket go before the bus does.
struct Link
{
    QTemporaryDir dir;
    FakeBus bus;
    Orvex *orvex = nullptr;

    Link()
    {
        QFile file(dir.filePath("node7.key"));   // words over lines, blank lines, runs of spaces
        if (file.open(QIODevice::WriteOnly))
            file.write("k0\n\n   k1    k2\n\n");
        file.close();
        const QString base = dir.filePath("node7");
        const QString port = QString::number(bus.port());
        QTest::ignoreMessage(QtDebugMsg, qPrintable("make connection \"node7\" \"" + base
                                                    + "\" \"127.0.0.1\" \"" + port + "\""));
        orvex = new Orvex;
        orvex->MakeConnection("node7", base, "127.0.0.1", port);
    }
    ~Link()
    {
        QTcpSocket *socket = orvex->connection();
        delete orvex;
        delete socket;
    }
    bool logIn()
    {
        QSignalSpy ready(orvex, &Orvex::ConnectionIsReady);
        if (!bus.waitForNode())
            return false;
        bus.send("7\n");
        if (bus.nextLine() != "node7 k1")
            return false;
        bus.send("System>node7 @login Ok:\n");
        return ready.wait(5000);
    }
    // Everything the link wrote before its answer to the marker line.
    bool linesBeforeMarker(QList<QByteArray> &lines)
    {
        bus.send(kMarker);
        const bool seen = bus.waitFor(kMarkerReply);
        lines = bus.skipped;
        return seen;
    }
};

// Every message signal of a link, in the order raised.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(Orvex *orvex)
    {
        const QMetaObject *meta = orvex->metaObject();
        const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("record(SMsg)"));
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod m = meta->method(i);
            if (m.methodType() == QMetaMethod::Signal
                && m.parameterMetaType(0) == QMetaType::fromType<SMsg>() && connect(orvex, m, this, slot))
                ++signalCount;
        }
    }
    int signalCount = 0;
    QStringList names;
    QList<SMsg> messages;

public slots:
    void record(SMsg msg)
    {
        names << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name());
        messages << msg;
    }
};

} // namespace

class tst_link : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { shared.reset(); }
    void portNumber_data();
    void portNumber();
    void challenge_data();
    void challenge();
    void loginAnswer_data();
    void loginAnswer();
    void dispatch_data();
    void dispatch();
    void partialLines();
    void overLongLineDropped();
    void senders_data();
    void senders();
    void nodeEndsWhenBusCloses();
    void nodeFails_data();
    void nodeFails();

private:
    std::unique_ptr<Link> shared;   // logged in once for the dispatch tests
};

void tst_link::initTestCase()
{
    shared = std::make_unique<Link>();
    QVERIFY(shared->logIn());
    QCOMPARE(Recorder(shared->orvex).signalCount, 23);
}

void tst_link::portNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("low 16 bits of 70000") << "70000" << 4464;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("white space around") << " 6057 " << 6057;
    QTest::newRow("hexadecimal is no number") << "0x10" << 0;
    QTest::newRow("beyond 32 bits") << "4294967296" << 0;
    QTest::newRow("minus one") << "-1" << 65535;
}

void tst_link::portNumber()
{
    QFETCH(QString, text);
    QTEST(int(Orvex::portNumber(text)), "port");
}

void tst_link::challenge_data()
{
    QTest::addColumn<QByteArray>("challenge");
    QTest::addColumn<QByteArray>("login");
    QTest::newRow("7 of 3 keys") << QByteArray("7\n") << QByteArray("node7 k1\n");
    QTest::newRow("3 of 3 keys") << QByteArray("3\n") << QByteArray("node7 k0\n");
    QTest::newRow("5 of 3 keys") << QByteArray("5\n") << QByteArray("node7 k2\n");
    QTest::newRow("spaces and CR around") << QByteArray("  7 \r\n") << QByteArray("node7 k1\n");
    QTest::newRow("not a number") << QByteArray("seven\n") << QByteArray("node7 k0\n");
    QTest::newRow("beyond 32 bits") << QByteArray("4294967303\n") << QByteArray("node7 k0\n");
    QTest::newRow("no line end yet") << QByteArray("8") << QByteArray("node7 k2\n");
}

void tst_link::challenge()
{
    QFETCH(QByteArray, challenge);
    QFETCH(QByteArray, login);
    Link link;
    QCOMPARE(link.orvex->keyList(), (QStringList{"k0", "k1", "k2"}));
    QSignalSpy ready(link.orvex, &Orvex::ConnectionIsReady);
    QVERIFY(link.bus.waitForNode());
    link.bus.send(challenge);
    QCOMPARE(link.bus.nextLine(), login.chopped(1));
    QCOMPARE(link.bus.raw(), login);
    QCOMPARE(ready.count(), 0);
}

void tst_link::loginAnswer_data()
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("answer alone") << QByteArrayList{"System>node7 @login Ok:\n"} << QByteArrayList{};
    QTest::newRow("line with the answer is dropped")
        << QByteArrayList{"System>node7 @login Ok:\nc>node7 Foo\n"} << QByteArrayList{};
    QTest::newRow("part of an answer, its rest is a line")
        << QByteArrayList{"c>node7 Fo", "o\n"} << QByteArrayList{"node7>c @Foo Er: Undefined Command"};
}

void tst_link::loginAnswer()
{
    QFETCH(QByteArrayList, writes);
    Link link;
    QSignalSpy ready(link.orvex, &Orvex::ConnectionIsReady);
    QVERIFY(link.bus.waitForNode());
    link.bus.send("7\n");
    QVERIFY(!link.bus.nextLine().isNull());
    for (const QByteArray &w : writes) {
        link.bus.send(w);
        QTRY_COMPARE(ready.count(), 1);
    }
    QList<QByteArray> lines;
    QVERIFY(link.linesBeforeMarker(lines));
    QTEST(lines, "lines");
    QCOMPARE(ready.count(), 1);
    QCOMPARE(ready.first().first().value<Orvex *>(), link.orvex);
}

void tst_link::dispatch_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("signal");   // empty: nothing raised
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArrayList>("reply");

    for (int i = 0; i < VocabEnd; ++i) {
        const QString word = gVocabulary[i].name;
        const bool marked = word.startsWith('@') || word.startsWith('_');
        QString signal = (word.startsWith('@') ? "Ans" : marked ? "Ev" : "Ask") + word.mid(marked ? 1 : 0);
        if (word.startsWith("@Speed"))
            signal.clear();
        QTest::addRow("word %s", qPrintable(word)) << "c7>node7.ch1 " + word.toLatin1() + " 1 2\n"
                                                   << signal << "node7.ch1" << QStringList{"ch1", "1", "2"}
                                                   << QByteArrayList{};
    }
    const auto row = [](const char *name, const QByteArray &line, const QString &signal, const QString &to,
                        const QStringList &args, const QByteArrayList &reply = {}) {
        QTest::newRow(name) << line << signal << to << args << reply;
    };
    row("command without channel", "client7>zerlint Help\n", "AskHelp", "zerlint", {});
    row("CR LF", "client7>zerlint Help x\r\n", "AskHelp", "zerlint", {"x"});
    row("other receiver", "c>other.x GetValue\n", "AskGetValue", "other.x", {"x"});
    row("undefined command", "client7>zerlint Foo 1 2\n", "", "", {},
        {"zerlint>client7 @Foo Er: Undefined Command"});
    row("undefined command to a channel", "client7.a>zerlint.ch1 Foo\n", "", "", {},
        {"zerlint.ch1>client7.a @Foo Er: Undefined Command"});
    row("wrong letter case", "client7>zerlint help\n", "", "", {},
        {"zerlint>client7 @help Er: Undefined Command"});
    row("UTF-8 in, Latin-1 out", "c>z Foo\xc3\xa4\n", "", "", {}, {"z>c @Foo\xe4 Er: Undefined Command"});
    row("beyond Latin-1 goes out as ?", "c>z Foo\xce\xa9\n", "", "", {}, {"z>c @Foo? Er: Undefined Command"});
    row("unknown reply", "ctl>zerlint @Unknown x\n", "", "", {});
    row("unknown event", "ctl>zerlint _Other 1\n", "", "", {});
    row("no messages: blank, white space, garbage, no word, space before arrow",
        "\n \t \r\ngarbage\nclient7>zerlint\na b>node7 Help\n", "", "", {});
}

void tst_link::dispatch()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, signal);
    Recorder rec(shared->orvex);
    shared->bus.send(line);
    QList<QByteArray> lines;
    QVERIFY(shared->linesBeforeMarker(lines));
    QTEST(lines, "reply");
    QCOMPARE(rec.names, signal.isEmpty() ? QStringList() : QStringList{signal});
    if (!signal.isEmpty()) {
        QTEST(rec.messages.first().to, "to");
        QTEST(rec.messages.first().args, "args");
    }
}

void tst_link::partialLines()
{
    Recorder rec(shared->orvex);
    shared->bus.send("a>n IsBusy\nb>n Help\nc>n Get");
    QTRY_COMPARE(rec.names, (QStringList{"AskIsBusy", "AskHelp"}));
    QTRY_COMPARE(shared->orvex->connection()->bytesAvailable(), qint64(7));
    shared->bus.send("Val");
    QTRY_COMPARE(shared->orvex->connection()->bytesAvailable(), qint64(10));
    QCOMPARE(rec.names.size(), 2);
    shared->bus.send("ue 3\n");
    QTRY_COMPARE(rec.names, (QStringList{"AskIsBusy", "AskHelp", "AskGetValue"}));
    QCOMPARE(rec.messages.last().args, QStringList{"3"});
}

void tst_link::overLongLineDropped()
{
    Recorder rec(shared->orvex);
    QTcpSocket *socket = shared->orvex->connection();
    QSignalSpy arrived(socket, &QTcpSocket::readyRead);
    QTest::ignoreMessage(QtDebugMsg, "\"Dropped an inbound line longer than "
                                         + QByteArray::number(Orvex::MaxLineLength) + " bytes\"");
    shared->bus.send("c>n Help " + QByteArray(Orvex::MaxLineLength + 10, 'x'));
    // Sent, and read without a line end: it can only have been thrown away.
    QTRY_VERIFY(shared->bus.node()->bytesToWrite() == 0 && !arrived.isEmpty()
                && socket->bytesAvailable() == 0);
    shared->bus.send("c>n GetValue\nc>n IsBusy\n");   // the first is the dropped line's tail
    QList<QByteArray> lines;
    QVERIFY(shared->linesBeforeMarker(lines));
    QCOMPARE(lines, QList<QByteArray>());
    QCOMPARE(rec.names, QStringList{"AskIsBusy"});
}

void tst_link::senders_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("bytes");
    const auto row = [](const char *name, const QString &sender, const QStringList &texts,
                        const QByteArray &bytes) {
        QTest::newRow(name) << sender << texts << bytes;
    };
    row("reply to a channel", "reply", {"client7>zerlint.ch1 GetValue", "12.5"},
        "zerlint.ch1>client7 @GetValue 12.5\n");
    row("reply with empty text", "reply", {"c.x>z Stop", ""}, "z>c.x @Stop \n");
    row("reply in Latin-1", "reply", {"c>z Help", "5 \u00b5m \u03a9"}, "z>c @Help 5 \xb5m ?\n");
    row("command with params", "command", {"System", "flgon", "pmc01"}, "System flgon pmc01\n");
    row("command without params", "command", {"pmc01.ax3", "GetValue", ""}, "pmc01.ax3 GetValue\n");
    row("command beyond Latin-1", "command", {"p", "SetValue", "\u20ac1"}, "p SetValue ?1\n");
    row("event of a channel", "event", {"gap", "_ChangedValue 5"}, "node7.gap>System _ChangedValue 5\n");
    row("event of the node", "event", {"", "_ChangedIsBusy 0"}, "node7>System _ChangedIsBusy 0\n");
}

void tst_link::senders()
{
    QFETCH(QString, sender);
    QFETCH(QStringList, texts);
    QFETCH(QByteArray, bytes);
    const qsizetype before = shared->bus.raw().size();
    if (sender == "reply") {
        SMsg msg;
        msg.Parse(texts.at(0));
        shared->orvex->SendReply(msg, texts.at(1));
    } else if (sender == "command") {
        shared->orvex->SendCommand(texts.at(0), texts.at(1), texts.at(2));
    } else {
        shared->orvex->SendEvent(texts.at(0), texts.at(1));
    }
    QCOMPARE(shared->bus.nextLine(), bytes.chopped(1));
    QCOMPARE(shared->bus.raw().mid(before), bytes);
}

void tst_link::nodeEndsWhenBusCloses()
{
    FakeBus bus;
    NodeProcess node;
    const QByteArray port = QByteArray::number(bus.port());
    node.writeFile("zerlint0.key", "alpha beta gamma\n");
    node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + port + "\n");
    QVERIFY(node.start());
    QCOMPARE(bus.login(4), QByteArray("zerlint0 beta"));
    QVERIFY(node.log().contains("make connection \"zerlint0\" \"zerlint0\" \"127.0.0.1\" \""
                                + port + "\""));
    bus.node()->close();
    QCOMPARE(node.waitForExit(), 0);
}

void tst_link::nodeFails_data()
{
    QTest::addColumn<QByteArray>("keyFile");   // null: no key file
    QTest::addColumn<QByteArray>("port");      // null: no config file; "bus": the fake bus
    QTest::addColumn<QByteArray>("challenge");
    QTest::addColumn<QByteArrayList>("logged");
    QTest::addColumn<QByteArrayList>("notLogged");

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QByteArray closedPort = QByteArray::number(closed.serverPort());
    closed.close();

    const auto row = [](const char *name, const QByteArray &keyFile, const QByteArray &port,
                        const QByteArray &challenge, const QByteArrayList &logged,
                        const QByteArrayList &notLogged = {}) {
        QTest::newRow(name) << keyFile << port << challenge << logged << notLogged;
    };
    row("no key file, no config", QByteArray(), QByteArray(), "",
        {"Can't open config file :  \"config.cfg\"", "\"Cannot open [zerlint0.key]\"",
         "\"Cannot open [:zerlint0.key]\""}, {"make connection"});
    row("key file without words", "\n  \t\n\n", "bus", "", {"zerlint0.key"},
        {"Cannot open", "make connection"});
    row("negative challenge", "a b c", "bus", "-5\n", {"make connection"});
    row("connection refused", "a b c", closedPort, "",
        {"make connection \"zerlint0\" \"zerlint0\" \"127.0.0.1\" \"" + closedPort + "\"", "Cannot connect"});
}

void tst_link::nodeFails()
{
    QFETCH(QByteArray, keyFile);
    QFETCH(QByteArray, port);
    QFETCH(QByteArray, challenge);
    FakeBus bus;
    NodeProcess node;
    if (!keyFile.isNull())
        node.writeFile("zerlint0.key", keyFile);
    if (!port.isNull())
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT "
                                         + (port == "bus" ? QByteArray::number(bus.port()) : port) + "\n");
    QVERIFY(node.start());
    if (!challenge.isEmpty()) {
        QVERIFY(bus.waitForNode());
        bus.send(challenge);
    }
    QCOMPARE(node.waitForExit(), 1);
    const QByteArray log = node.log();
    QFETCH(QByteArrayList, logged);
    for (const QByteArray &text : logged)
        QVERIFY2(log.contains(text), log.constData());
    QFETCH(QByteArrayList, notLogged);
    for (const QByteArray &text : notLogged)
        QVERIFY2(!log.contains(text), log.constData());
    if (bus.node())   // not even a login line was written
        QTRY_COMPARE(bus.node()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(bus.raw(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
