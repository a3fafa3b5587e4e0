#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "bus/orvex.h"
#include "sim/busserver.h"

namespace {

const QStringList keys{"k0", "k1", "k2"};

// A node on the simulated bus, driven by the test.
struct TestNode
{
    explicit TestNode(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            buffer += socket.readAll();
            for (qsizetype end; (end = buffer.indexOf('\n')) >= 0; buffer.remove(0, end + 1))
                lines.append(buffer.left(end));
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    QByteArray next(int timeoutMs = 3000)
    {
        // Woken by the socket rather than by polling: the tests wait often.
        for (QDeadlineTimer deadline(timeoutMs); lines.isEmpty() && !deadline.hasExpired();) {
            QEventLoop loop;
            QTimer::singleShot(deadline.remainingTime(), &loop, &QEventLoop::quit);
            QObject::connect(&socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
            QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return lines.isEmpty() ? QByteArray() : lines.takeFirst();
    }
    // Lines up to and including last (fewer on time-out).
    QList<QByteArray> upTo(const QByteArray &last, int timeoutMs = 5000)
    {
        QList<QByteArray> got;
        for (QByteArray line; got.isEmpty() || got.last() != last; got.append(line)) {
            if ((line = next(timeoutMs)).isNull())
                break;
        }
        return got;
    }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    bool closed()
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, 3000);
    }
    // The server's answer to a login with the key the challenge selects ("right"), the one after
    // it ("next"), or the given text as the rest of the login line.
    QByteArray login(const QByteArray &name, const QByteArray &key = "right")
    {
        bool ok = false;
        const int challenge = next().toInt(&ok);
        if (!ok || challenge < 0)
            return "bad challenge";
        const int chosen = challenge % int(keys.size());
        const QByteArray sent = key == "right" ? keys.at(chosen).toUtf8()
            : key == "next"                    ? keys.at((chosen + 1) % int(keys.size())).toUtf8()
                                               : key;
        send(sent.isEmpty() ? name : name + ' ' + sent);
        return next();
    }

    QTcpSocket socket;
    QByteArray buffer;
    QList<QByteArray> lines;
};

// The expected line, if any, and the marker line that follows it.
QList<QByteArray> thenEnd(const QByteArray &line, const QByteArray &end)
{
    return line.isEmpty() ? QList<QByteArray>{end} : QList<QByteArray>{line, end};
}

std::unique_ptr<BusServer> makeBus(double timeScale = 10)
{
    auto bus = std::make_unique<BusServer>(keys);
    for (const char *line : {"pmc01.ax1 100 2000 1000 200 -1000 1000", "pmc02 7"}) {
        AxisSetup axis;
        QString error;
        if (!axis.parse(line, error))
            qFatal("%s", qPrintable(error));
        bus->addAxis(axis, timeScale);
    }
    bus->listen(QHostAddress::LocalHost, 0);
    return bus;
}

} // namespace

class tst_sim : public QObject
{
    Q_OBJECT

private slots:
    void login_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("taken");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("key the challenge selects") << QByteArray("a") << QByteArray("right") << QByteArray() << QByteArray("System>a @login Ok:");
        QTest::newRow("key of another challenge") << QByteArray("a") << QByteArray("next") << QByteArray() << QByteArray("System>a @login Er: Wrong key");
        QTest::newRow("no key") << QByteArray("a") << QByteArray() << QByteArray() << QByteArray("System>a @login Er: Wrong key");
        QTest::newRow("name in use") << QByteArray("a") << QByteArray("right") << QByteArray("a") << QByteArray("System>a @login Er: Name [a] is already in use");
        QTest::newRow("name of a simulated controller") << QByteArray("pmc02") << QByteArray("right") << QByteArray() << QByteArray("System>pmc02 @login Er: Name [pmc02] is already in use");
        QTest::newRow("name of the server") << QByteArray("System") << QByteArray("right") << QByteArray() << QByteArray("System>System @login Er: Name [System] is already in use");
        QTest::newRow("address as name") << QByteArray("a.b") << QByteArray("right") << QByteArray() << QByteArray("System>a.b @login Er: Name [a.b] is not a node name");
    }
    void login()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, taken);
        QFETCH(QByteArray, answer);
        auto bus = makeBus();
        TestNode first(bus->port());
        if (!taken.isEmpty())
            QCOMPARE(first.login(taken), "System>" + taken + " @login Ok:");
        TestNode node(bus->port());
        QCOMPARE(node.login(name, key), answer);
        if (answer.endsWith("Ok:")) {
            QVERIFY(bus->nodeNames().contains(QString::fromUtf8(name)));
            QVERIFY(node.socket.state() == QAbstractSocket::ConnectedState);
        } else {
            QVERIFY(node.closed());
            QVERIFY(node.lines.isEmpty());   // the refusal was the only answer
        }
    }

    void routing_data()
    {
        QTest::addColumn<QByteArray>("written");   // by node a
        QTest::addColumn<QByteArray>("atA");       // expected at a, or nothing
        QTest::addColumn<QByteArray>("atB");       // expected at b, or nothing
        QTest::newRow("no sender part, to a node") << QByteArray("b Hello 1 2") << QByteArray() << QByteArray("a>b Hello 1 2");
        QTest::newRow("no sender part, to a channel") << QByteArray("b.ch Hello") << QByteArray() << QByteArray("a>b.ch Hello");
        QTest::newRow("runs of spaces") << QByteArray("  b   Hello   x  ") << QByteArray() << QByteArray("a>b Hello x");
        QTest::newRow("own sender with a channel") << QByteArray("a.x>b.ch @GetValue 5") << QByteArray() << QByteArray("a.x>b.ch @GetValue 5");
        QTest::newRow("spoofed sender") << QByteArray("c>b Hello") << QByteArray("System>a @Hello Er: Sender [c] is not [a]") << QByteArray();
        QTest::newRow("spoofed as a channel of another") << QByteArray("b.x>b Hello") << QByteArray("System>a @Hello Er: Sender [b.x] is not [a]") << QByteArray();
        QTest::newRow("receiver not connected") << QByteArray("nobody.ch Hello") << QByteArray("System>a @Hello Er: Node [nobody] is not connected") << QByteArray();
        QTest::newRow("reply to nobody dropped") << QByteArray("nobody @GetValue 1") << QByteArray() << QByteArray();
        QTest::newRow("undefined server command") << QByteArray("System Hello") << QByteArray("System>a @Hello Er: Undefined Command") << QByteArray();
        QTest::newRow("subscription without address") << QByteArray("System flgon") << QByteArray("System>a @flgon Er: Address is not given") << QByteArray();
        QTest::newRow("not a bus line") << QByteArray("b") << QByteArray("System>a @Line Er: Not a bus line [b]") << QByteArray();
        QTest::newRow("unknown simulated channel") << QByteArray("pmc01.ax9 GetValue") << QByteArray("pmc01.ax9>a @GetValue Er: Channel [pmc01.ax9] is not defined") << QByteArray();
        QTest::newRow("simulated bare node") << QByteArray("pmc02 GetValue") << QByteArray("pmc02>a @GetValue 7") << QByteArray();
    }
    void routing()
    {
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, atA);
        QFETCH(QByteArray, atB);
        auto bus = makeBus();
        TestNode a(bus->port()), b(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        QCOMPARE(b.login("b"), QByteArray("System>b @login Ok:"));
        a.send(written);
        // Markers behind the line show that nothing else arrived in between.
        a.send("System End");
        a.send("b End");
        const QByteArray endA = "System>a @End Er: Undefined Command";
        QCOMPARE(a.upTo(endA), thenEnd(atA, endA));
        QCOMPARE(b.upTo("a>b End"), thenEnd(atB, "a>b End"));
    }

    void events_data()
    {
        QTest::addColumn<QByteArray>("event");   // written by node x
        QTest::addColumn<bool>("toA");           // a follows x and x.ch
        QTest::addColumn<bool>("toB");           // b follows x.other
        QTest::addColumn<QByteArray>("seen");    // as delivered to a subscriber "s"
        QTest::newRow("channel of both of a's subscriptions") << QByteArray("x.ch>System _ChangedValue 5") << true << false << QByteArray("x.ch>s _ChangedValue 5");
        QTest::newRow("another channel of the node") << QByteArray("x.other>System _ChangedIsBusy 1") << true << true << QByteArray("x.other>s _ChangedIsBusy 1");
        QTest::newRow("the bare node, no sender part") << QByteArray("System _Hello a b") << true << false << QByteArray("x>s _Hello a b");
        QTest::newRow("a command to the server is no event") << QByteArray("x.ch>System Hello") << false << false << QByteArray();
    }
    void events()
    {
        QFETCH(QByteArray, event);
        QFETCH(bool, toA);
        QFETCH(bool, toB);
        QFETCH(QByteArray, seen);
        auto bus = makeBus();
        TestNode a(bus->port()), b(bus->port()), x(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        QCOMPARE(b.login("b"), QByteArray("System>b @login Ok:"));
        QCOMPARE(x.login("x"), QByteArray("System>x @login Ok:"));
        for (const char *address : {"x", "x.ch", "x.ch"})
            a.send(QByteArray("System flgon ") + address);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(a.next(), QByteArray("System>a @flgon Ok:"));
        b.send("System flgon x.other");
        QCOMPARE(b.next(), QByteArray("System>b @flgon Ok:"));
        a.send("x Ready");
        QCOMPARE(x.next(), QByteArray("a>x Ready"));   // a's subscriptions are in place

        x.send(event);
        x.send("a End");
        x.send("b End");
        auto seenBy = [&seen](bool to, const QByteArray &name) {
            return to ? QByteArray(seen).replace(">s ", ">" + name + ' ') : QByteArray();
        };
        QCOMPARE(a.upTo("x>a End"), thenEnd(seenBy(toA, "a"), "x>a End"));   // once, though two match
        QCOMPARE(b.upTo("x>b End"), thenEnd(seenBy(toB, "b"), "x>b End"));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("command");   // to pmc01.ax1: at 100, limits -1000..1000
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("GetValue") << QByteArray("GetValue") << QByteArray("@GetValue 100");
        QTest::newRow("target at the upper limit") << QByteArray("SetValue 1000") << QByteArray("@SetValue Ok:");
        QTest::newRow("target above the upper limit") << QByteArray("SetValue 1001") << QByteArray("@SetValue Er: Target 1001 is outside the limits -1000..1000");
        QTest::newRow("target below the lower limit") << QByteArray("SetValue -1001") << QByteArray("@SetValue Er: Target -1001 is outside the limits -1000..1000");
        QTest::newRow("fraction") << QByteArray("SetValue 1.5") << QByteArray("@SetValue Er: Target [1.5] is not an integer");
        QTest::newRow("word") << QByteArray("SetValue abc") << QByteArray("@SetValue Er: Target [abc] is not an integer");
        QTest::newRow("no target") << QByteArray("SetValue") << QByteArray("@SetValue Er: No target given");
        QTest::newRow("Stop while idle") << QByteArray("Stop") << QByteArray("@Stop Ok:");
        QTest::newRow("StopEmergency while idle") << QByteArray("StopEmergency") << QByteArray("@StopEmergency Ok:");
        QTest::newRow("Remote") << QByteArray("Remote") << QByteArray("@Remote Ok:");
        QTest::newRow("SpeedHigh") << QByteArray("SpeedHigh") << QByteArray("@SpeedHigh Ok:");
        QTest::newRow("SpeedMiddle") << QByteArray("SpeedMiddle") << QByteArray("@SpeedMiddle Ok:");
        QTest::newRow("SpeedLow") << QByteArray("SpeedLow") << QByteArray("@SpeedLow Ok:");
        QTest::newRow("undefined word") << QByteArray("Home 1") << QByteArray("@Home Er: Undefined Command");
        QTest::newRow("word in the wrong letter case") << QByteArray("getvalue") << QByteArray("@getvalue Er: Undefined Command");
    }
    void answers()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        auto bus = makeBus();
        TestNode a(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        a.send("a.sub>pmc01.ax1 " + command);
        QCOMPARE(a.next(), "pmc01.ax1>a.sub " + reply);   // back to the asker's full address
        if (!reply.startsWith("@SetValue Ok:")) {
            a.send("pmc01.ax1 GetValue");
            QCOMPARE(a.next(), QByteArray("pmc01.ax1>a @GetValue 100"));   // did not move
        }
    }

    void move()
    {
        auto bus = makeBus(10);   // SpeedLow: 2000 pulses per second
        TestNode a(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        a.send("System flgon pmc01");   // both of these match, as the node subscribes
        a.send("System flgon pmc01.ax1");
        a.send("pmc01.ax1 SpeedLow");
        a.send("pmc01.ax1 SetValue 900");
        const QList<QByteArray> got = a.upTo("pmc01.ax1>a _ChangedIsBusy 0");
        QCOMPARE(got.mid(0, 5), (QList<QByteArray>{"System>a @flgon Ok:", "System>a @flgon Ok:", "pmc01.ax1>a @SpeedLow Ok:",
                                                   "pmc01.ax1>a @SetValue Ok:", "pmc01.ax1>a _ChangedIsBusy 1"}));
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"pmc01.ax1>a _ChangedValue 900", "pmc01.ax1>a _ChangedIsBusy 0"}));
        const QList<QByteArray> values = got.mid(5, got.size() - 6);
        QVERIFY2(values.size() >= 3, "a slow move reports where it is on the way");
        int previous = 100;
        for (const QByteArray &line : values) {
            QVERIFY2(line.startsWith("pmc01.ax1>a _ChangedValue "), line);
            const int value = line.mid(line.lastIndexOf(' ') + 1).toInt();
            QVERIFY2(value > previous && value <= 900, line);
            previous = value;
        }
        a.send("pmc01.ax1 GetValue");
        QCOMPARE(a.next(), QByteArray("pmc01.ax1>a @GetValue 900"));
    }

    void stopHalfWay_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::newRow("Stop") << QByteArray("Stop");
        QTest::newRow("StopEmergency") << QByteArray("StopEmergency");
    }
    void stopHalfWay()
    {
        QFETCH(QByteArray, stop);
        auto bus = makeBus(1);   // SpeedLow: 200 pulses per second, 5 s to the target
        TestNode a(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        a.send("System flgon pmc01.ax1");
        a.send("pmc01.ax1 SpeedLow");
        a.send("pmc01.ax1 SetValue -900");
        const QList<QByteArray> started = a.upTo("pmc01.ax1>a _ChangedIsBusy 1");
        QCOMPARE(started.size(), 4);
        QVERIFY(a.next().startsWith("pmc01.ax1>a _ChangedValue "));   // on its way
        a.send("pmc01.ax1 SetValue 0");
        QCOMPARE(a.next(), QByteArray("pmc01.ax1>a @SetValue Er: Busy, moving to -900"));
        a.send("pmc01.ax1 " + stop);
        const QList<QByteArray> stopped = a.upTo("pmc01.ax1>a _ChangedIsBusy 0");
        QCOMPARE(stopped.value(0), "pmc01.ax1>a @" + stop + " Ok:");
        QCOMPARE(stopped.size(), 3);   // answer, final value, not busy
        const QByteArray final = stopped.at(1);
        QVERIFY2(final.startsWith("pmc01.ax1>a _ChangedValue "), final);
        const int at = final.mid(final.lastIndexOf(' ') + 1).toInt();
        QVERIFY2(at < 100 && at > -900, final);
        a.send("pmc01.ax1 GetValue");
        QCOMPARE(a.next(), "pmc01.ax1>a @GetValue " + QByteArray::number(at));
        QVERIFY(a.next(300).isNull());   // and it stays there
    }

    void overlongLineCloses()
    {
        auto bus = makeBus();
        TestNode a(bus->port());
        QCOMPARE(a.login("a"), QByteArray("System>a @login Ok:"));
        a.socket.write(QByteArray(Orvex::MaxLineLength + 2, 'x'));
        QCOMPARE(a.next(), QByteArray("System>a @Line Er: Line too long"));
        QVERIFY(a.closed());
    }

    void axisFile()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("sim.cfg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("AXIS a.x 5 100 50 10.5 -10 10   # all numbers\n"
                   "AXIS b                          # defaults\n"
                   "AXIS c.y 1 2 three              # not a number\n"
                   "AXIS a.x 0                      # defined twice\n"
                   "AXIS d 50 1 1 1 0 10            # starts outside its limits\n"
                   "AXIS e 0 0                      # speed 0\n"
                   "AXIS f. 0                       # empty channel\n"
                   "AXIS g 1 2 3 4 5 6 7            # too many numbers\n");
        file.close();
        QList<AxisSetup> axes;
        QVERIFY(readAxisFile(file.fileName(), axes));
        QCOMPARE(axes.size(), 2);
        QCOMPARE(axes.at(0).address(), QString("a.x"));
        QCOMPARE(axes.at(0).initial, qint64(5));
        QCOMPARE(axes.at(0).speeds[2], 10.5);
        QCOMPARE(axes.at(0).min, qint64(-10));
        QCOMPARE(axes.at(0).max, qint64(10));
        QCOMPARE(axes.at(1).address(), QString("b"));
        QCOMPARE(axes.at(1).speeds[0], 2000.0);
        QVERIFY(!readAxisFile(dir.filePath("missing.cfg"), axes));

        // The example controllers are those the example node configuration uses.
        QList<AxisSetup> examples;
        QVERIFY(readAxisFile(QFINDTESTDATA("../examples/sim.cfg"), examples));
        QStringList addresses;
        for (const AxisSetup &setup : examples)
            addresses.append(setup.address());
        QCOMPARE(addresses, (QStringList{"pmc01.ax1", "pmc01.ax2", "pmc02"}));
    }
};

QTEST_MAIN(tst_sim)
#include "tst_sim.moc"
