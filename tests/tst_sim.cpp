#include <QTcpSocket>
#include <QTest>

#include <memory>

#include "sim/busserver.h"

const QStringList keys{"k0", "k1", "k2"};

// A node on the simulated bus, driven by the test.
struct Peer
{
    explicit Peer(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
    QByteArray next(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([this] { return socket.canReadLine(); }, timeoutMs) ? socket.readLine().chopped(1) : QByteArray();
    }
    // The lines before the marker, joined with "|"; "(no marker)" added on time-out.
    QByteArray before(const QByteArray &marker)
    {
        QList<QByteArray> got;
        QByteArray line;
        while ((line = next()) != marker && !line.isNull())
            got.append(line);
        return got.join('|') + (line.isNull() ? "|(no marker)" : "");
    }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    // The answer to a login with the key the challenge selects, or with the next one.
    QByteArray login(const QByteArray &name, bool rightKey = true)
    {
        send(name + ' ' + keys.at((next().toInt() + (rightKey ? 0 : 1)) % keys.size()).toUtf8());
        return next();
    }
    QTcpSocket socket;
};

class tst_sim : public QObject
{
    Q_OBJECT
    std::unique_ptr<BusServer> bus;
    std::unique_ptr<Peer> a;

private slots:
    // pmc01.ax1 at 100 within -1000..1000, SpeedLow 2000 pulses per second at this time scale; pmc02 at 7.
    void init()
    {
        bus = std::make_unique<BusServer>(keys);
        bus->addAxis({"pmc01", "ax1", 100, {2000, 1000, 200}, -1000, 1000}, 10);
        bus->addAxis({"pmc02", {}, 7}, 10);
        bus->listen(QHostAddress::LocalHost, 0);
        a = std::make_unique<Peer>(bus->port());
        QCOMPARE(a->login("a"), QByteArray("System>a @login Ok:"));
    }

    void login_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("rightKey");
        QTest::addColumn<QByteArray>("answer");   // "a" is logged in already
        QTest::newRow("key the challenge selects") << QByteArray("b") << true << QByteArray("System>b @login Ok:");
        QTest::newRow("key of another challenge") << QByteArray("b") << false << QByteArray("System>b @login Er: Wrong key");
        QTest::newRow("name of a node") << QByteArray("a") << true << QByteArray("System>a @login Er: Name [a] is already in use");
        QTest::newRow("name of a simulated controller") << QByteArray("pmc02") << true << QByteArray("System>pmc02 @login Er: Name [pmc02] is already in use");
    }
    void login()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, rightKey);
        QFETCH(QByteArray, answer);
        Peer peer(bus->port());
        QCOMPARE(peer.login(name, rightKey), answer);
        const bool refused = !answer.endsWith("Ok:");
        QVERIFY(!refused || QTest::qWaitFor([&] { return peer.socket.state() == QAbstractSocket::UnconnectedState; }, 3000));
        QCOMPARE(peer.socket.readAll(), QByteArray());
        QCOMPARE(bus->nodeNames(), (refused ? QStringList{"a"} : QStringList{"a", "b"}));
    }

    void lines_data()
    {
        QTest::addColumn<QByteArray>("written");   // by node a
        QTest::addColumn<QByteArray>("atA");       // what a, b and c then receive, "|" between lines
        QTest::addColumn<QByteArray>("atB");
        QTest::addColumn<QByteArray>("atC");
        QTest::newRow("no sender part") << QByteArray("  b   Hello 1  2 ") << QByteArray() << QByteArray("a>b Hello 1 2") << QByteArray();
        QTest::newRow("own sender with a channel") << QByteArray("a.x>b.ch @GetValue 5") << QByteArray() << QByteArray("a.x>b.ch @GetValue 5") << QByteArray();
        QTest::newRow("spoofed sender") << QByteArray("c.x>b Hello") << QByteArray("System>a @Hello Er: Sender [c.x] is not [a]") << QByteArray() << QByteArray();
        QTest::newRow("receiver not connected") << QByteArray("nobody.ch Hello") << QByteArray("System>a @Hello Er: Node [nobody] is not connected") << QByteArray() << QByteArray();
        QTest::newRow("simulated bare node") << QByteArray("pmc02 GetValue") << QByteArray("pmc02>a @GetValue 7") << QByteArray() << QByteArray();
        QTest::newRow("target above the upper limit") << QByteArray("a.x>pmc01.ax1 SetValue 1001") << QByteArray("pmc01.ax1>a.x @SetValue Er: Target 1001 is outside the limits -1000..1000") << QByteArray() << QByteArray();
        QTest::newRow("target below the lower limit") << QByteArray("pmc01.ax1 SetValue -1001") << QByteArray("pmc01.ax1>a @SetValue Er: Target -1001 is outside the limits -1000..1000") << QByteArray() << QByteArray();
        QTest::newRow("target not an integer") << QByteArray("pmc01.ax1 SetValue 1.5") << QByteArray("pmc01.ax1>a @SetValue Er: Target [1.5] is not an integer") << QByteArray() << QByteArray();
        QTest::newRow("event of a followed channel") << QByteArray("a.ch>System _ChangedValue 5") << QByteArray() << QByteArray("a.ch>b _ChangedValue 5") << QByteArray("a.ch>c _ChangedValue 5");
        QTest::newRow("event of another channel") << QByteArray("a.other>System _ChangedIsBusy 1") << QByteArray() << QByteArray("a.other>b _ChangedIsBusy 1") << QByteArray();
        QTest::newRow("event of the bare node") << QByteArray("System _Hello x") << QByteArray() << QByteArray("a>b _Hello x") << QByteArray();
    }
    void lines()
    {
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, atA);
        QFETCH(QByteArray, atB);
        QFETCH(QByteArray, atC);
        Peer b(bus->port()), c(bus->port());
        QCOMPARE(b.login("b"), QByteArray("System>b @login Ok:"));
        QCOMPARE(c.login("c"), QByteArray("System>c @login Ok:"));
        // b follows a twice over, and the controllers, which must not move; c follows a.ch only.
        b.send("System flgon a\nSystem flgon a.ch\nSystem flgon a.ch\nSystem flgon pmc01\nb Ready");
        c.send("System flgon a.ch\nSystem flgon a\nSystem flgoff a");
        QCOMPARE(b.before("b>b Ready"), (QList<QByteArray>(4, "System>b @flgon Ok:").join('|')));
        QCOMPARE(c.before("System>c @flgoff Ok:"), QByteArray("System>c @flgon Ok:|System>c @flgon Ok:"));
        a->send(written + "\nSystem End\nb End\nc End");   // markers: nothing else came, nothing twice
        QCOMPARE(a->before("System>a @End Er: Undefined Command"), atA);
        QCOMPARE(b.before("a>b End"), atB);
        QCOMPARE(c.before("a>c End"), atC);
    }

    void move_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::newRow("to the upper limit") << QByteArray();
        QTest::newRow("Stop half way") << QByteArray("Stop");
        QTest::newRow("StopEmergency half way") << QByteArray("StopEmergency");
    }
    void move()
    {
        QFETCH(QByteArray, stop);
        // Both subscriptions match, as the node has them.
        a->send("System flgon pmc01\nSystem flgon pmc01.ax1\npmc01.ax1 SpeedLow\npmc01.ax1 SetValue 1000");
        QCOMPARE(a->before("pmc01.ax1>a _ChangedIsBusy 1"), QByteArray("System>a @flgon Ok:|System>a @flgon Ok:|pmc01.ax1>a @SpeedLow Ok:|pmc01.ax1>a @SetValue Ok:"));
        if (!stop.isEmpty()) {
            QVERIFY(a->next().startsWith("pmc01.ax1>a _ChangedValue "));   // on its way
            a->send("pmc01.ax1 SetValue 0\npmc01.ax1 " + stop);
            QCOMPARE(a->before("pmc01.ax1>a @" + stop + " Ok:"), QByteArray("pmc01.ax1>a @SetValue Er: Busy, moving to 1000"));
        }
        const QList<QByteArray> got = a->before("pmc01.ax1>a _ChangedIsBusy 0").split('|');
        int previous = 100;
        for (const QByteArray &line : got) {
            QVERIFY2(line.startsWith("pmc01.ax1>a _ChangedValue "), line.constData());
            const int value = line.mid(line.lastIndexOf(' ') + 1).toInt();
            QVERIFY2(value > previous && value <= 1000, line.constData());   // each once, on the way
            previous = value;
        }
        QVERIFY2(stop.isEmpty() ? got.size() >= 3 && previous == 1000 : got.size() == 1 && previous < 1000, got.join(" | ").constData());
        a->send("pmc01.ax1 GetValue");
        QCOMPARE(a->next(), "pmc01.ax1>a @GetValue " + QByteArray::number(previous));
        QVERIFY(a->next(300).isNull());   // and it stays there
    }
};

QTEST_MAIN(tst_sim)
#include "tst_sim.moc"
