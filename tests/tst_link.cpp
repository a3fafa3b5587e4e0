#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

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

    // Each word raises its own signal ("@Speed…" none), at any node; junk lines raise none. Then all it writes.
    void dispatchAndSenders()
    {
        QByteArray lines = "c>o Help x\r\nc>o\xc2\xa0Help\t y\n";   // Unicode white space too
        QStringList raised{"AskHelp x", "AskHelp y"};
        for (int i = 0; i < VocabEnd; ++i) {
            const QString word = gVocabulary[i].name;
            const QString prefix = word.startsWith('@') ? "Ans" : word.startsWith('_') ? "Ev" : "Ask";
            lines += "c7>node7.ch1 " + word.toLatin1() + " 1 2\n";
            if (!word.startsWith("@Speed"))
                raised << prefix + word.mid(prefix == "Ask" ? 0 : 1) + " ch1 1 2";
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
        bus.send("4\nc>n Help 5\n");   // the dropped line's tail, then a whole line
        QTRY_COMPARE(seen, (QStringList{"AskHelp 1", "AskHelp 2", "AskHelp 5"}));
    }

    void realNode_data()
    {
        QTest::addColumn<QByteArray>("keyFile");     // null: none
        QTest::addColumn<QByteArray>("challenge");   // empty: none sent
        QTest::addColumn<QByteArray>("login");       // empty: none written, exit status 1
        QTest::addColumn<QByteArrayList>("logged");  // "!" and a text: not logged
        QTest::addColumn<QByteArray>("port");        // empty: the fake bus
        const auto row = [](const char *name, const QByteArray &keyFile, const QByteArray &challenge,
                            const QByteArray &login, const QByteArrayList &logged = {}, const QByteArray &port = {}) {
            QTest::newRow(name) << keyFile << challenge << login << logged << port;
        };
        const QByteArray shut = QByteArray::number(FakeBus().port());   // nobody listens there any more
        row("7 of 3 keys, spaces and CR around; bus goes", "k0 k1 k2\n", " 7 \r\n", "zerlint0 k1\n");
        row("not a number", "k0 k1 k2\n", "seven\n", "zerlint0 k0\n");
        row("beyond 32 bits", "k0 k1 k2\n", "4294967303\n", "zerlint0 k0\n");
        row("no key file", QByteArray(), "", "",
            {"\"Cannot open [zerlint0.key]\"", "\"Cannot open [:zerlint0.key]\"", "!make connection"});
        row("key file without words", "\n  \t\n\n", "", "", {"No key in [zerlint0.key]", "!make connection"});
        row("negative challenge", "k0 k1 k2\n", "-5\n", "", {"Challenge [-5] selects no key"});
        row("connection refused", "k0 k1 k2\n", "", "", {"Cannot connect to the bus server: Connection refused"}, shut);
    }
    void realNode()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, login);
        QFETCH(QByteArray, port);
        FakeBus server;
        NodeProcess node;
        if (!keyFile.isNull())
            node.writeFile("zerlint0.key", keyFile);
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT "
                                         + (port.isEmpty() ? QByteArray::number(server.port()) : port));
        QVERIFY(node.start());
        if (!challenge.isEmpty() && server.waitForNode())
            server.send(challenge);
        if (!login.isEmpty() && server.nextLine() == login.chopped(1)) {   // else the bytes below differ
            server.send("System>zerlint0 @login Ok:\n");
            server.node()->close();
        }
        QCOMPARE(node.waitForExit(), login.isEmpty() ? 1 : 0);
        if (server.node())   // all it wrote has arrived
            QTRY_COMPARE(server.node()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(server.raw(), login);
        const QByteArray log = node.log();
        QFETCH(QByteArrayList, logged);
        for (const QByteArray &text : logged)
            QVERIFY2(text.startsWith('!') ? !log.contains(text.mid(1)) : log.contains(text), log.constData());
    }
};

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
