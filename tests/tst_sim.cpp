#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

#include "sim/busserver.h"

struct Peer : QTcpSocket
{
    static inline const QStringList keys{"k0", "k1", "k2"};   // the bus's key file
    explicit Peer(quint16 port) { connectToHost(QHostAddress::LocalHost, port); }
    bool send(const QByteArray &lines) { return write(lines + '\n') > 0; }
    QByteArray next() { return QTest::qWaitFor([&] { return canReadLine(); }) ? readLine().trimmed() : nullptr; }
    QByteArray login(const QByteArray &name, int wrong = 0)   // wrong: the key after the one the challenge selects
    {
        return send(name + ' ' + keys.at((next().toInt() + wrong) % keys.size()).toUtf8()) ? next() : nullptr;
    }
    // "|" between the lines; at most 1000, so that an axis that never stops fails the test instead of holding it.
    QByteArray before(const QByteArray &marker)
    {
        QByteArray got, line;
        for (int n = 0; n < 1000 && (line = next()) != marker && !line.isNull(); ++n)
            got += (got.isEmpty() ? "" : "|") + line;
        return line == marker ? got : got + "|(no marker)";
    }
    QByteArray rest() { return QTest::qWaitFor([&] { return state() == UnconnectedState; }) ? readAll() : "(open)"; }
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
        bus = std::make_unique<BusServer>(Peer::keys);
        bus->addAxis({"pmc01", "ax1", 100, {2000, 1000, 200}, -1000, 1000}, 10);
        bus->addAxis({"pmc02", {}, 7}, 10);
        QVERIFY(bus->listen(QHostAddress::LocalHost, 0));
        a = std::make_unique<Peer>(bus->port());
        QCOMPARE(a->login("a"), "System>a @login Ok:");
    }

    // A refusal is logged too, by the name tried, or by the address before a name; then the line is closed.
    // A name a peer holds: tst_system's "session, name in use" checks it.
    void login()
    {
        for (const auto &[name, reason, wrong] :
             {std::tuple{"b", "Wrong key", 1}, {"pmc02", "Name [pmc02] is already in use", 0}}) {
            Peer peer(bus->port());
            QTest::ignoreMessage(QtDebugMsg, "refused \"login\" from \"" + QByteArray(name) + "\": " + reason);
            QCOMPARE(peer.login(name, wrong), "System>" + QByteArray(name) + " @login Er: " + reason);
            QCOMPARE(peer.rest(), "");
        }
        Peer endless(bus->port());
        QVERIFY(!endless.next().isNull());   // the challenge: connected, with an address
        QTest::ignoreMessage(QtDebugMsg, "refused \"1048577 bytes without a line end\" from \"127.0.0.1:"
                                             + QByteArray::number(endless.localPort()) + "\": Line too long");
        endless.write(QByteArray(BusLine::MaxLength + 1, 'x'));
        QCOMPARE(endless.next(), "System>unknown @Line Er: Line too long");
        QCOMPARE(endless.rest(), "");
    }

    // a writes; a, b and c receive ("|" between lines). A refusal is logged by its sender, with the command as
    // routed. Not here, as the demo and tst_system check them: a sender's own channel, the upper limit.
    void lines_data()
    {
        for (const char *column : {"written", "atA", "atB", "atC"})
            QTest::addColumn<QByteArray>(column);
        auto row = [](const char *name, const QByteArray &written, const QByteArray &atA, const QByteArray &atB = {},
                      const QByteArray &atC = {}) { QTest::newRow(name) << written << atA << atB << atC; };
        row("no sender part", "  b   Hello 1  2 ", {}, "a>b Hello 1 2");
        row("spoofed sender", "c.x>b Hello", "System>a @Hello Er: Sender [c.x] is not [a]");
        row("no command word", "b", "System>a @Line Er: Not a bus line [b]");
        row("receiver not connected", "nobody.ch Hello", "System>a @Hello Er: Node [nobody] is not connected");
        row("System, flgon without an address", "System flgon", "System>a @flgon Er: Address is not given");
        row("simulated bare node, asked by a channel", "a.x>pmc02 GetValue", "pmc02>a.x @GetValue 7");
        row("no such channel", "pmc01.ax2 GetValue", "pmc01.ax2>a @GetValue Er: Channel [pmc01.ax2] is not defined");
        row("undefined command", "pmc02 Home", "pmc02>a @Home Er: Undefined Command");
        const QByteArray refused = "pmc01.ax1>a @SetValue Er: ";
        row("target below the lower limit, from a channel", "a.x>pmc01.ax1 SetValue -1001",
            "pmc01.ax1>a.x @SetValue Er: Target -1001 is outside the limits -1000..1000");
        row("target not an integer", "pmc01.ax1 SetValue 1.5", refused + "Target [1.5] is not an integer");
        row("no target", "pmc01.ax1 SetValue", refused + "No target given");
        row("followed event", "a.ch>System _ChangedValue 5", {}, "a.ch>b _ChangedValue 5", "a.ch>c _ChangedValue 5");
        row("event of another channel", "a.other>System _ChangedIsBusy 1", {}, "a.other>b _ChangedIsBusy 1");
    }
    void lines()
    {
        Peer b(bus->port()), c(bus->port());
        QCOMPARE(b.login("b") + '|' + c.login("c"), "System>b @login Ok:|System>c @login Ok:");
        // b follows a twice over, and pmc01, which must not move for it; c follows a.ch only.
        b.send("System flgon a\nSystem flgon a.ch\nSystem flgon a.ch\nSystem flgon pmc01\nb Ready");
        c.send("System flgon a.ch\nSystem flgon a\nSystem flgoff a\nc Ready");
        QCOMPARE(b.before("b>b Ready") + '/' + c.before("c>c Ready"), QByteArrayList(4, "System>b @flgon Ok:").join('|')
                     + "/System>c @flgon Ok:|System>c @flgon Ok:|System>c @flgoff Ok:");
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, atA);
        if (const qsizetype er = atA.indexOf(" Er: "); er > 0) {   // fails the row when it is not logged
            const QByteArray from = atA.mid(atA.indexOf('>') + 1).split(' ').first();   // the sender, as answered
            const QByteArray command = written.startsWith(from + '>') ? written.mid(from.size() + 1) : written;
            QTest::ignoreMessage(QtDebugMsg, "refused \"" + command + "\" from \"" + from + "\": " + atA.mid(er + 5));
        }
        a->send(written + "\nb End\nc End\na End");   // markers: nothing else came, nothing twice
        QCOMPARE(a->before("a>a End"), atA);
        QTEST(b.before("a>b End"), "atB");
        QTEST(c.before("a>c End"), "atC");
    }

    // At SpeedLow, stopped on its way up before the first tick, down to the lower limit, and there it stays.
    // a follows pmc01 twice over, as the node does.
    void move()
    {
        const QByteArray ax1 = "pmc01.ax1>a ", changed = ax1 + "_ChangedValue ";
        a->send("System flgon pmc01\nSystem flgon pmc01.ax1\npmc01.ax1 SpeedLow\npmc01.ax1 SetValue 1000");
        QCOMPARE(a->before(ax1 + "_ChangedIsBusy 1"),
                 "System>a @flgon Ok:|System>a @flgon Ok:|" + ax1 + "@SpeedLow Ok:|" + ax1 + "@SetValue Ok:");
        a->send("pmc01.ax1 SetValue 0\npmc01.ax1 Stop");   // at once: only the time since the start tells where it is
        QCOMPARE(a->before(ax1 + "@Stop Ok:"), ax1 + "@SetValue Er: Busy, moving to 1000");
        const QByteArray stopped = a->before(ax1 + "_ChangedIsBusy 0").mid(changed.size());   // one event: where it is
        QVERIFY2(stopped.toInt() > 100 && stopped.toInt() < 1000, stopped.constData());
        a->send("pmc01.ax1 GetValue\npmc01.ax1 SetValue -1000");
        QCOMPARE(a->before(ax1 + "_ChangedIsBusy 1"), ax1 + "@GetValue " + stopped + '|' + ax1 + "@SetValue Ok:");
        const QByteArray down = a->before(ax1 + "_ChangedIsBusy 0");
        QList<int> values{stopped.toInt()};   // each once on the way, the last at the limit
        for (const QByteArray &line : down.split('|'))
            values.append(line.startsWith(changed) ? line.mid(changed.size()).toInt() : 1000);
        QVERIFY2(values.size() >= 4 && values.last() == -1000
                     && std::adjacent_find(values.cbegin(), values.cend(), std::less_equal<>()) == values.cend(),
                 down.constData());
        // Nothing more of it while pmc02 moves 2000 pulses: two ticks at least, time for a tick it should not have.
        a->send("System flgon pmc02\npmc02 SetValue 2007");
        const QByteArray meanwhile = a->before("pmc02>a _ChangedIsBusy 0");
        QVERIFY2(meanwhile.endsWith("pmc02>a _ChangedValue 2007") && meanwhile.count("_ChangedValue") >= 2
                     && !meanwhile.contains("pmc01"), meanwhile.constData());
    }

    // Polled more often than once a millisecond, it still moves at its speed (SpeedMiddle: 1 pulse a millisecond).
    void polled()
    {
        SimAxis axis({"p", {}, 0}, 1);
        BusLine::Message setValue, getValue;
        QVERIFY(setValue.split("a>p SetValue 100000") && getValue.split("a>p GetValue"));
        QElapsedTimer polling;
        qint64 ms = 0;   // polled before the last GetValue; the axis started earlier
        for (axis.handle(setValue), polling.start(); ms < 200; axis.handle(getValue))
            ms = polling.elapsed();
        const qint64 at = axis.position();
        QVERIFY2(at >= ms - 1 && at <= polling.elapsed() + 1, QByteArray::number(at));
    }
};

QTEST_MAIN(tst_sim)
#include "tst_sim.moc"
