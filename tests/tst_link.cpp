#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <cstring>
#include <thread>

#include "bus/orvex.h"
#include "config/bussettings.h"
#include "config/paramstore.h"
#include "fakebus.h"
#include "node/body.h"

// The node in this process, over one alias, connecting to a bus server on the port.
struct InProcess
{
    static ParamStore oneAlias()
    {
        ParamStore params;
        params.addEntry("PM", "m1", " m1 pmc01 ax1");
        params.addEntry("ALIAS", "a", " a m1 m1 1 1 0");
        return params;
    }
    Orvex *link = new Orvex;
    Body body{link, oneAlias()};
    QSignalSpy ended{&body, &Body::finished}, ready{link, &Orvex::ConnectionIsReady};

    explicit InProcess(quint16 port)
    {
        body.connectToServer({"127.0.0.1", QString::number(port), "zerlint0", "zerlint0"}, {"k0", "k1", "k2"});
    }
    // The one end reported: "status why"; empty when none came in time.
    QString end()
    {
        if (ended.isEmpty() && !ended.wait(5000))
            return {};
        QCoreApplication::processEvents();   // whatever the socket reports after it, too
        return ended.size() == 1 ? ended.at(0).at(0).toString() + ' ' + ended.at(0).at(1).toString()
                                 : QStringLiteral("ended %1 times").arg(ended.size());
    }
};

// A transport whose unsent output the test sets.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return pending.contains('\n') || QIODevice::canReadLine(); }
    qint64 bytesToWrite() const override { return unsent; }
    void feed(const QByteArray &bytes) { pending += bytes; emit readyRead(); }
    void drain(qint64 left) { unsent = left; emit bytesWritten(1); }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        const qsizetype n = qMin(qsizetype(size), pending.size());
        std::memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QByteArray pending;
    qint64 unsent = 0;
};

class tst_link : public QObject
{
    Q_OBJECT

    FakeBus bus;
    Orvex link;   // logged in once, for the dispatch tests
    QStringList seen;   // the message signals raised, each with its arguments
public slots:
    void record(SMsg m) { seen << link.metaObject()->method(senderSignalIndex()).name() + ' ' + m.args.join(' '); }

private slots:
    void initTestCase()
    {
        const QMetaMethod record = metaObject()->method(metaObject()->indexOfSlot("record(SMsg)"));
        for (int i = 0; i < link.metaObject()->methodCount(); ++i) {
            if (link.metaObject()->method(i).parameterMetaType(0) == QMetaType::fromType<SMsg>())
                QVERIFY(connect(&link, link.metaObject()->method(i), this, record));
        }
        link.connectToServer("zerlint0", {"k0", "k1", "k2"}, "127.0.0.1", bus.port());
        QSignalSpy ready(&link, &Orvex::ConnectionIsReady);
        QCOMPARE(bus.login(5, "System>zerlint0 @login Ok:\nc>zerlint0 Foo\nc>zerlint0 Ba"), "zerlint0 k2");
        QVERIFY(ready.wait(5000));
        bus.send("r\n");   // the line that came with the answer was dropped, the part after it waited
        QCOMPARE(bus.nextLine(), "zerlint0>c @Bar Er: Undefined Command");
    }
    void init() { seen.clear(); }

    // Each word raises its own signal, or none where nothing listens; junk lines raise none. Then all it writes.
    void dispatchAndSenders()
    {
        QByteArray lines = "c>o Help x\r\n \tc>o\xc2\xa0Help\t y\nc>o\x0bHelp\x0c z\n";   // Unicode white space too
        QStringList raised{"AskHelp x", "AskHelp y", "AskHelp z"};
        for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
            const QString word = e->name;
            const QString prefix = word.startsWith('@') ? "Ans" : word.startsWith('_') ? "Ev" : "Ask";
            const QString signal = word.startsWith("@Speed") ? "AnsSpeed" : prefix + word.mid(prefix == "Ask" ? 0 : 1);
            lines += "c7>zerlint0.ch1 " + word.toLatin1() + " 1 2\n";
            if (link.metaObject()->indexOfSignal(qPrintable(signal + "(SMsg)")) >= 0)
                raised << signal + " ch1 1 2";
        }
        QCOMPARE(raised.size(), 3 + 23);   // @SetValueREL, @Standby and @SyncRun have no taker
        bus.send(lines + "\n \t \r\ngarbage\nc>z\na b>z Help\nc>z @Unknown x\nc>z _Other 1\nc9>zl Foo\xc3\xa4 1 2\n");
        SMsg msg;   // the link reads the lines only once the senders below have written
        msg.Parse("c.a>z.ch1 GetValue");
        link.SendReply(msg, "5 \u00b5m \u03a9");
        link.SendCommand("System", "flgon", "pmc01");
        link.SendCommand("pmc01.ax3", "GetValue", "");
        link.SendEvent("gap", "_ChangedValue 5");
        link.SendEvent("", "_ChangedIsBusy 0");
        QVERIFY(bus.waitFor("zl>c9 @Foo\xe4 Er: Undefined Command"));   // UTF-8 in, Latin-1 out
        QCOMPARE(bus.skipped, (QByteArrayList{"z.ch1>c.a @GetValue 5 \xb5m ?", "System flgon pmc01",
                 "pmc01.ax3 GetValue", "zerlint0.gap>System _ChangedValue 5", "zerlint0>System _ChangedIsBusy 0"}));
        QCOMPARE(seen, raised);
    }

    void partialAndOverLongLines()
    {
        bus.send("a>n Help 1\nb>n Help 2\nc>n Help ");
        QTRY_COMPARE(seen, (QStringList{"AskHelp 1", "AskHelp 2"}));   // two lines of one read; the third waits
        QSignalSpy arrived(link.findChild<QTcpSocket *>(), &QTcpSocket::readyRead);
        QTest::ignoreMessage(QtDebugMsg, "\"Dropped an inbound line longer than 1048576 bytes\"");
        bus.send(QByteArray(1 << 20, 'x'));   // the third goes past the bound: all read, no line end, so dropped
        QTRY_VERIFY(!arrived.isEmpty() && !link.heldBytes() && !bus.node()->bytesToWrite());
        bus.send(" y>n Help 4\nc>n Help 5\n");   // the dropped line's tail, then a whole line
        QTRY_COMPARE(seen, (QStringList{"AskHelp 1", "AskHelp 2", "AskHelp 5"}));
    }

    // Above the high mark of unsent output the link reads nothing more, until it is below the low one.
    void backPressure()
    {
        Pipe pipe;
        Orvex link;
        QSignalSpy asked(&link, &Orvex::AskHelp);
        link.attach("n", {"k"}, &pipe);
        pipe.feed("0\n");
        pipe.feed("System>n @login Ok:\n");
        pipe.drain(Orvex::OutputHighWater + 1);
        pipe.feed("c>n Help\nc>n Help\n");
        QCOMPARE(asked.size(), 0);
        pipe.drain(Orvex::OutputLowWater + 1);
        QCOMPARE(asked.size(), 0);
        pipe.drain(Orvex::OutputLowWater);
        QCOMPARE(asked.size(), 2);
    }

    // The challenge selects the key; a refused login ends the link with status 1 and never serves.
    void login_data()
    {
        for (const char *column : {"challenge", "answer", "login"})   // answer: "|" sends the rest once primed
            QTest::addColumn<QByteArray>(column);
        QTest::addColumn<QString>("end");   // empty: it serves
        const auto row = [](const char *name, const QByteArray &challenge, const QByteArray &login,
                            const QString &end = {}, const QByteArray &answer = "System>zerlint0 @login Ok:\n") {
            QTest::newRow(name) << challenge << answer << login << end;
        };
        const QString refused = "1 The bus server refused the login: Er: Wrong key";
        row("7 of 3 keys, spaces and CR around", " 7 \r\n", "zerlint0 k1");
        row("not a number", "seven\n", "zerlint0 k0");
        row("beyond 32 bits", "4294967303\n", "zerlint0 k0");
        row("leading zero, decimal all the same", "010\n", "zerlint0 k1");
        row("negative challenge", "-5\n", {}, "1 Challenge [-5] selects no key");
        row("login refused", "1\n", "zerlint0 k1", refused, "System>zerlint0 @login Er: Wrong key\n");
        row("refusal in pieces", "1\n", "zerlint0 k1", refused, "System>zerlint0 @log|in Er: Wrong key\n");
        row("a refusal after the answer is none", "1\n", "zerlint0 k1", {},
            "System>zerlint0 @login Ok:\n|System>zerlint0 @login Er: late\n");
        row("nor one from another sender", "1\n", "zerlint0 k1", {}, "c>zerlint0 @login Er: Wrong key\n");
    }
    void login()
    {
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, login);
        QFETCH(QString, end);
        QFETCH(QByteArray, answer);
        FakeBus server;
        InProcess node(server.port());
        QVERIFY(server.waitForNode());
        if (!login.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, "\"Login line written as zerlint0\"");
        server.send(challenge);
        if (!login.isEmpty()) {
            QCOMPARE(server.nextLine(), login);
            const QList<QByteArray> parts = answer.split('|');
            server.send(parts[0]);
            if (parts.size() > 1 && server.waitFor("pmc01.ax1 GetValue"))
                server.send(parts[1]);
        }
        if (!end.isEmpty()) {
            QCOMPARE(node.end(), end);
            QCOMPARE(node.ready.size(), int(answer.contains('|')));
            QCOMPARE(node.link->state(), Orvex::State::Ended);
            return;
        }
        server.send("c>zerlint0 IsBusy\n");
        QVERIFY(server.waitFor("zerlint0>c @IsBusy 0"));
        QCOMPARE(node.ended.size(), 0);
        QCOMPARE(node.link->state(), Orvex::State::Ready);
    }

    // The bus server closes or resets at each step of the login and while serving: the link
    // ends once with status 0 and never opens a second connection.
    void lostConnection_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("reset");
        const char *steps[] = {"on arrival", "before the challenge", "after the challenge", "after the login line",
                               "serving", "GetValue waiting", "mid-line"};
        for (int step = 0; step < 7; ++step) {
            for (const bool reset : {false, true})
                QTest::addRow("%s, %s", steps[step], reset ? "reset" : "closed") << step << reset;
        }
    }
    void lostConnection()
    {
        QFETCH(int, step);
        QFETCH(bool, reset);
        if (step == 0)
            return endedOnArrival(reset);
        FakeBus server;
        InProcess node(server.port());
        QVERIFY(server.waitForNode());
        if (step >= 2)
            server.send("0\n");
        if (step >= 3)
            QCOMPARE(server.nextLine(), "zerlint0 k0");
        if (step >= 4) {
            server.send("System>zerlint0 @login Ok:\n");
            QVERIFY(server.waitFor("pmc01.ax1 GetValue"));   // primed: what comes now is read apart
        }
        if (step == 5) {
            server.send("c>zerlint0.a GetValue\n");
            QVERIFY(server.waitFor("pmc01.ax1 GetValue"));
        }
        if (step == 6)
            server.send("c>zerlint0 He");
        reset ? server.reset() : server.node()->close();
        const QString end = node.end();
        QVERIFY2(end == "0 The bus server closed the connection" || end.startsWith("0 The bus connection was lost: "),
                 qPrintable(end));
        QCOMPARE(server.connections(), 1);
        QCOMPARE(node.ready.size(), int(step >= 4));
    }

    // The real node: how each end is logged, and its exit status.
    void process_data()
    {
        QTest::addColumn<QByteArray>("keyFile");     // null: none
        QTest::addColumn<QByteArray>("challenge");   // empty: none sent
        QTest::addColumn<QByteArray>("answer");      // to the login line
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArrayList>("logged");  // "!" and a text: not logged
        const auto row = [](const char *name, const QByteArray &keyFile, const QByteArray &challenge,
                            const QByteArray &answer, int status, const QByteArrayList &logged) {
            QTest::newRow(name) << keyFile << challenge << answer << status << logged;
        };
        row("bus closes", "k0 k1\n", "1\n", "System>zerlint0 @login Ok:\n", 0,
            {"make connection \"zerlint0\" \"zerlint0\" \"127.0.0.1\"", "\"Login line written as zerlint0\"",
             "\"Logged in to the bus server as zerlint0\"", "\"The bus server closed the connection\""});
        row("login refused", "k0 k1\n", "1\n", "System>zerlint0 @login Er: Wrong key\n", 1,
            {"\"The bus server refused the login: Er: Wrong key\"", "!Logged in"});
        row("challenge selects no key", "k0\n", "-1\n", {}, 1, {"\"Challenge [-1] selects no key\""});
        row("no key file", {}, {}, {}, 1,
            {"\"Cannot open [zerlint0.key]\"\n\"Cannot open [:zerlint0.key]\"\n", "!make connection"});
        row("connection refused", "k0\n", {}, {}, 1, {"\"Cannot connect to the bus server 127.0.0.1 port "});
    }
    void process()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, answer);
        std::optional<FakeBus> server(std::in_place);
        const QByteArray port = QByteArray::number(server->port());
        if (QByteArray(QTest::currentDataTag()) == "connection refused")
            server.reset();   // nobody listens there any more
        NodeProcess node;
        if (!keyFile.isNull())
            node.writeFile("zerlint0.key", keyFile);
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + port);
        QVERIFY(node.start());
        if (!challenge.isEmpty() && server->waitForNode()) {
            server->send(challenge);
            if (!answer.isEmpty() && !server->nextLine().isNull())
                server->send(answer);
            if (answer.contains("Ok:"))
                server->node()->close();
        }
        QTEST(node.waitForExit(), "status");
        const QByteArray log = node.log();
        QFETCH(QByteArrayList, logged);
        for (const QByteArray &text : logged)
            QVERIFY2(text.startsWith('!') ? !log.contains(text.mid(1)) : log.contains(text), log.constData());
    }

private:
    // A server that ends each connection the moment it takes it, from a thread of its own so that
    // it is quicker than the link's own look at the new connection.
    void endedOnArrival(bool reset)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 8) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        std::atomic<int> accepted{0};
        std::thread server([&] {
            for (int peer; (peer = ::accept(listener, nullptr, nullptr)) >= 0; ::close(peer)) {
                ++accepted;
                const linger abortive{1, 0};
                if (reset)
                    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
        });
        QString end;
        {
            InProcess node(ntohs(address.sin_port));
            end = node.end();
        }
        ::shutdown(listener, SHUT_RDWR);   // ends the accept
        server.join();
        ::close(listener);
        QVERIFY2(end == "0 The bus server closed the connection" || end.startsWith("0 The bus connection was lost: "),
                 qPrintable(end));
        QCOMPARE(accepted.load(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
