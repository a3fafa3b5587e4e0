#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bus/orvex.h"
#include "bus/vocabulary.h"
#include "fakebus.h"

// The link in this process on a fake bus, logged in once; then the real node and how it ends.
class tst_link : public QObject
{
    Q_OBJECT

    NodeProcess keys;   // only its folder, for the key file
    FakeBus bus;
    Orvex *orvex = new Orvex;   // it ends the process when its socket drops, so the socket goes after it
    QStringList seen;   // the message signals raised, each with its arguments
public slots:
    void record(SMsg m) { seen << orvex->metaObject()->method(senderSignalIndex()).name() + ' ' + m.args.join(' '); }

private slots:
    void initTestCase()
    {
        keys.writeFile("node7.key", "k0\n\n   k1    k2\n\n");   // words over lines, blank lines, runs of spaces
        orvex->MakeConnection("node7", keys.dir() + "/node7", "127.0.0.1", QString::number(bus.port()));
        const QMetaMethod record = metaObject()->method(metaObject()->indexOfSlot("record(SMsg)"));
        for (int i = 0; i < orvex->metaObject()->methodCount(); ++i) {
            if (orvex->metaObject()->method(i).parameterMetaType(0) == QMetaType::fromType<SMsg>())
                QVERIFY(connect(orvex, orvex->metaObject()->method(i), this, record));
        }
        QSignalSpy ready(orvex, &Orvex::ConnectionIsReady);
        QCOMPARE(bus.login(5, "System>node7 @login Ok:\nc>node7 Foo\nc>node7 Ba"), "node7 k2");
        QVERIFY(ready.wait(5000));
        bus.send("r\n");   // the line that came with the answer was dropped, the part after it waited
        QCOMPARE(bus.nextLine(), "node7>c @Bar Er: Undefined Command");
    }
    void cleanupTestCase() { QTcpSocket *socket = orvex->connection(); delete orvex; delete socket; }
    void init() { seen.clear(); }

    // Each word raises its own signal (the three "@Speed…" one), at any node; junk lines raise none. Then all it writes.
    void dispatchAndSenders()
    {
        QByteArray lines = "c>o Help x\r\nc>o\xc2\xa0Help\t y\nc>o\x0bHelp\x0c z\n";   // Unicode white space too
        QStringList raised{"AskHelp x", "AskHelp y", "AskHelp z"};
        for (int i = 0; i < VocabEnd; ++i) {
            const QString word = gVocabulary[i].name;
            const QString prefix = word.startsWith('@') ? "Ans" : word.startsWith('_') ? "Ev" : "Ask";
            lines += "c7>node7.ch1 " + word.toLatin1() + " 1 2\n";
            raised << (word.startsWith("@Speed") ? "AnsSpeed" : prefix + word.mid(prefix == "Ask" ? 0 : 1)) + " ch1 1 2";
        }
        bus.send(lines + "\n \t \r\ngarbage\nc>z\na b>z Help\nc>z @Unknown x\nc>z _Other 1\nc9>zl Foo\xc3\xa4 1 2\n");
        SMsg msg;   // the link reads the lines only once the senders below have written
        msg.Parse("c.a>z.ch1 GetValue");
        orvex->SendReply(msg, "5 \u00b5m \u03a9");
        orvex->SendCommand("System", "flgon", "pmc01");
        orvex->SendCommand("pmc01.ax3", "GetValue", "");
        orvex->SendEvent("gap", "_ChangedValue 5");
        orvex->SendEvent("", "_ChangedIsBusy 0");
        QVERIFY(bus.waitFor("zl>c9 @Foo\xe4 Er: Undefined Command"));   // UTF-8 in, Latin-1 out
        QCOMPARE(bus.skipped, (QByteArrayList{"z.ch1>c.a @GetValue 5 \xb5m ?", "System flgon pmc01",
                 "pmc01.ax3 GetValue", "node7.gap>System _ChangedValue 5", "node7>System _ChangedIsBusy 0"}));
        QCOMPARE(seen, raised);
    }

    void partialAndOverLongLines()
    {
        bus.send("a>n Help 1\nb>n Help 2\nc>n Help ");
        QTRY_COMPARE(seen, (QStringList{"AskHelp 1", "AskHelp 2"}));   // two lines of one read; the third waits
        QSignalSpy arrived(orvex->connection(), &QTcpSocket::readyRead);
        QTest::ignoreMessage(QtDebugMsg, "\"Dropped an inbound line longer than 1048576 bytes\"");
        bus.send(QByteArray(1 << 20, 'x'));   // the third goes past the bound: all read, no line end, so dropped
        QTRY_VERIFY(!arrived.isEmpty() && !orvex->heldBytes() && !bus.node()->bytesToWrite());
        bus.send(" y>n Help 4\nc>n Help 5\n");   // the dropped line's tail, then a whole line
        QTRY_COMPARE(seen, (QStringList{"AskHelp 1", "AskHelp 2", "AskHelp 5"}));
    }

    void realNode_data()
    {
        QTest::addColumn<QByteArray>("keyFile");     // null: none
        QTest::addColumn<QByteArray>("challenge");   // empty: none sent
        QTest::addColumn<QByteArray>("login");       // empty: none written, exit status 1
        QTest::addColumn<QByteArrayList>("logged");  // "!" and a text: not logged
        QTest::addColumn<QByteArray>("port");        // empty: the fake bus
        QTest::addColumn<QByteArray>("answer");      // to the login; "|": the rest once the node logged in
        const auto row = [](const char *name, const QByteArray &keyFile, const QByteArray &challenge,
                            const QByteArray &login, const QByteArrayList &logged = {}, const QByteArray &port = {},
                            const QByteArray &answer = "System>zerlint0 @login Ok:\n") {
            QTest::newRow(name) << keyFile << challenge << login << logged << port << answer;
        };
        const QByteArray shut = QByteArray::number(FakeBus().port());   // nobody listens there any more
        row("7 of 3 keys, spaces and CR around; bus goes", "k0 k1 k2\n", " 7 \r\n", "zerlint0 k1\n",
            {"\"Login line written as zerlint0\"", "\"Logged in to the bus server as zerlint0\"",
             "\"The bus server closed the connection\""});
        row("not a number", "k0 k1 k2\n", "seven\n", "zerlint0 k0\n");
        row("beyond 32 bits", "k0 k1 k2\n", "4294967303\n", "zerlint0 k0\n");
        row("leading zero, decimal all the same", "k0 k1 k2\n", "010\n", "zerlint0 k1\n");
        row("no key file", QByteArray(), "", "",
            {"\"Cannot open [zerlint0.key]\"", "\"Cannot open [:zerlint0.key]\"", "!make connection", "!Login"});
        row("key file without words", "\n  \t\n\n", "", "", {"No key in [zerlint0.key]", "!make connection"});
        row("key file a pipe", "<pipe>", "", "", {"\"Cannot open [zerlint0.key]\"", "!make connection"});
        row("negative challenge", "k0 k1 k2\n", "-5\n", "", {"Challenge [-5] selects no key", "!Login"});
        row("connection refused", "k0 k1 k2\n", "", "",
            {"Cannot connect to the bus server 127.0.0.1 port " + shut + ": Connection refused"}, shut);
        const QByteArray refused = "\"The bus server refused the login: Er: Wrong key\"";
        row("login refused", "k0 k1\n", "1\n", "zerlint0 k1\n", {refused, "!Logged in"}, {},
            "System>zerlint0 @login Er: Wrong key\n");
        row("refusal in pieces", "k0 k1\n", "1\n", "zerlint0 k1\n", {refused}, {},
            "System>zerlint0 @log|in Er: Wrong key\n");
        row("a refusal after the answer is none", "k0 k1\n", "1\n", "zerlint0 k1\n",
            {"!refused", "The bus server closed the connection"}, {},
            "System>zerlint0 @login Ok:\n|System>zerlint0 @login Er: late\n");
        row("nor one from another sender", "k0 k1\n", "1\n", "zerlint0 k1\n", {"!refused"}, {},
            "c>zerlint0 @login Er: Wrong key\n");
    }
    void realNode()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, login);
        QFETCH(QByteArray, port);
        FakeBus server;
        NodeProcess node;
        if (keyFile == "<pipe>")   // would block a reader that opens it
            QCOMPARE(::mkfifo(QFile::encodeName(node.dir() + "/zerlint0.key").constData(), 0600), 0);
        else if (!keyFile.isNull())
            node.writeFile("zerlint0.key", keyFile);
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT "
                                         + (port.isEmpty() ? QByteArray::number(server.port()) : port));
        QVERIFY(node.start());
        if (!challenge.isEmpty() && server.waitForNode())
            server.send(challenge);
        QFETCH(QByteArray, answer);
        if (!login.isEmpty() && server.nextLine() == login.chopped(1)) {   // else the bytes below differ
            const QList<QByteArray> parts = answer.split('|');
            server.send(parts[0]);
            if (parts.size() > 1) {
                QVERIFY(node.waitForLog("Logged in"));
                server.send(parts[1]);
            }
            server.node()->close();
        }
        const bool refusal = answer.startsWith("System>") && answer.contains("Er:") && !answer.contains("Ok:");
        QCOMPARE(node.waitForExit(), login.isEmpty() || refusal ? 1 : 0);
        if (server.node())   // all it wrote has arrived
            QTRY_COMPARE(server.node()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(server.raw(), login);
        const QByteArray log = node.log();
        QFETCH(QByteArrayList, logged);
        for (const QByteArray &text : logged)
            QVERIFY2(text.startsWith('!') ? !log.contains(text.mid(1)) : log.contains(text), log.constData());
    }

    // The bus server closes or resets at each step of the login and while serving: the node
    // ends with status 0 and never opens a second connection.
    // A server that ends each connection the moment it takes it, from a thread of its own so that
    // it is quicker than the node's own look at the new connection.
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
        NodeProcess node;
        node.writeFile("zerlint0.key", "k0\n");
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(ntohs(address.sin_port)));
        QVERIFY(node.start());
        const int status = node.waitForExit();
        ::shutdown(listener, SHUT_RDWR);   // ends the accept
        server.join();
        ::close(listener);
        QCOMPARE(status, 0);
        QCOMPARE(accepted.load(), 1);
        const QByteArray log = node.log();
        QVERIFY2(log.count("The bus server closed the connection") + log.count("The bus connection was lost") == 1,
                 log.constData());
    }

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
        FakeBus server;
        NodeProcess node;
        node.writeFile("zerlint0.key", "k0\n");
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(server.port())
                                         + "\nPM m1 pmc01 ax1\nALIAS a m1 m1 1 1 0\n");
        QFETCH(bool, reset);
        if (step == 0)
            return endedOnArrival(reset);
        QVERIFY(node.start());
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
        QCOMPARE(node.waitForExit(), 0);
        QCOMPARE(server.connections(), 1);
        // One line for the end, and logged in only once the login answer was read.
        const QByteArray log = node.log();
        QVERIFY2(log.count("The bus server closed the connection") + log.count("The bus connection was lost") == 1,
                 log.constData());
        QCOMPARE(log.contains("Logged in to the bus server"), step >= 4);
    }
};

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
