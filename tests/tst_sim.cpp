#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

#include "sim/busserver.h"

struct Peer : QTcpSocket
{
    static inline const QStringList keys{"k0", "k1", "k2"};   // the bus's key file
    explicit Peer(quint16 port) { connectToHost(QHostAddress::LocalHost, port); }
    QByteArray next(int timeoutMs = 5000) { return QTest::qWaitFor([this] { return canReadLine(); }, timeoutMs) ? readLine().chopped(1) : QByteArray(); }
    void send(const QByteArray &line) { write(line + '\n'); }
    // The answer to a login with the key the challenge selects, or with the next one.
    QByteArray login(const QByteArray &name, bool rightKey = true) { send(name + ' ' + keys.at((next().toInt() + (rightKey ? 0 : 1)) % keys.size()).toUtf8()); return next(); }
    // The lines before the marker, joined with "|"; "(no marker)" added on time-out.
    QByteArray before(const QByteArray &marker)
    {
        QList<QByteArray> got;
        QByteArray line;
        while ((line = next()) != marker && !line.isNull())
            got.append(line);
        return got.join('|') + (line.isNull() ? "|(no marker)" : "");
    }
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
        QCOMPARE(a->login("a"), QByteArray("System>a @login Ok:"));
    }

    void login()
    {
        // Each refusal also goes to the log, by the name tried, or by the address before a name.
        for (const char *name : {"b\": Wrong key", "a\": Name [a] is already in use", "pmc02\": Name [pmc02] is already in use"})
            QTest::ignoreMessage(QtDebugMsg, QByteArray("refused \"login\" from \"") + name);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^refused \"1048577 bytes without a line end\" from \"127\\.0\\.0\\.1:\\d+\": Line too long$"));
        Peer wrongKey(bus->port()), node(bus->port()), controller(bus->port()), endless(bus->port());
        QCOMPARE(wrongKey.login("b", false), QByteArray("System>b @login Er: Wrong key"));
        QCOMPARE(node.login("a"), QByteArray("System>a @login Er: Name [a] is already in use"));
        QCOMPARE(controller.login("pmc02"), QByteArray("System>pmc02 @login Er: Name [pmc02] is already in use"));
        QVERIFY(!endless.next().isNull());
        endless.write(QByteArray(BusLine::MaxLength + 1, 'x'));   // a line with no end in sight
        QCOMPARE(endless.next(), QByteArray("System>unknown @Line Er: Line too long"));
        for (Peer *refused : {&wrongKey, &node, &controller, &endless})   // closed with nothing more said
            QVERIFY(QTest::qWaitFor([&] { return refused->state() == QAbstractSocket::UnconnectedState; }, 3000) && refused->readAll().isEmpty());
    }

    void lines_data()
    {
        // by a; then what a, b and c receive, "|" between lines; the line the sim logs for a refusal
        for (const char *column : {"written", "atA", "atB", "atC", "logged"})
            QTest::addColumn<QByteArray>(column);
        QTest::newRow("no sender part") << QByteArray("  b   Hello 1  2 ") << QByteArray() << QByteArray("a>b Hello 1 2") << QByteArray() << QByteArray();
        QTest::newRow("own sender with a channel") << QByteArray("a.x>b.ch @GetValue 5") << QByteArray() << QByteArray("a.x>b.ch @GetValue 5") << QByteArray() << QByteArray();
        QTest::newRow("spoofed sender") << QByteArray("c.x>b Hello") << QByteArray("System>a @Hello Er: Sender [c.x] is not [a]") << QByteArray() << QByteArray() << QByteArray("refused \"c.x>b Hello\" from \"a\": Sender [c.x] is not [a]");
        QTest::newRow("no command word") << QByteArray("b") << QByteArray("System>a @Line Er: Not a bus line [b]") << QByteArray() << QByteArray() << QByteArray("refused \"b\" from \"a\": Not a bus line [b]");
        QTest::newRow("receiver not connected") << QByteArray("nobody.ch Hello") << QByteArray("System>a @Hello Er: Node [nobody] is not connected") << QByteArray() << QByteArray() << QByteArray("refused \"nobody.ch Hello\" from \"a\": Node [nobody] is not connected");
        QTest::newRow("System, flgon without an address") << QByteArray("System flgon") << QByteArray("System>a @flgon Er: Address is not given") << QByteArray() << QByteArray() << QByteArray("refused \"System flgon\" from \"a\": Address is not given");
        QTest::newRow("simulated bare node") << QByteArray("pmc02 GetValue") << QByteArray("pmc02>a @GetValue 7") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("simulated node, channel not defined") << QByteArray("pmc01.ax2 GetValue") << QByteArray("pmc01.ax2>a @GetValue Er: Channel [pmc01.ax2] is not defined") << QByteArray() << QByteArray() << QByteArray("refused \"pmc01.ax2 GetValue\" from \"a\": Channel [pmc01.ax2] is not defined");
        QTest::newRow("simulated node, undefined command") << QByteArray("pmc02 Home") << QByteArray("pmc02>a @Home Er: Undefined Command") << QByteArray() << QByteArray() << QByteArray("refused \"pmc02 Home\" from \"a\": Undefined Command");
        QTest::newRow("target above the upper limit") << QByteArray("a.x>pmc01.ax1 SetValue 1001") << QByteArray("pmc01.ax1>a.x @SetValue Er: Target 1001 is outside the limits -1000..1000") << QByteArray() << QByteArray() << QByteArray("refused \"pmc01.ax1 SetValue 1001\" from \"a.x\": Target 1001 is outside the limits -1000..1000");
        QTest::newRow("target below the lower limit") << QByteArray("pmc01.ax1 SetValue -1001") << QByteArray("pmc01.ax1>a @SetValue Er: Target -1001 is outside the limits -1000..1000") << QByteArray() << QByteArray() << QByteArray("refused \"pmc01.ax1 SetValue -1001\" from \"a\": Target -1001 is outside the limits -1000..1000");
        QTest::newRow("target not an integer") << QByteArray("pmc01.ax1 SetValue 1.5") << QByteArray("pmc01.ax1>a @SetValue Er: Target [1.5] is not an integer") << QByteArray() << QByteArray() << QByteArray("refused \"pmc01.ax1 SetValue 1.5\" from \"a\": Target [1.5] is not an integer");
        QTest::newRow("no target") << QByteArray("pmc01.ax1 SetValue") << QByteArray("pmc01.ax1>a @SetValue Er: No target given") << QByteArray() << QByteArray() << QByteArray("refused \"pmc01.ax1 SetValue\" from \"a\": No target given");
        QTest::newRow("event of a followed channel") << QByteArray("a.ch>System _ChangedValue 5") << QByteArray() << QByteArray("a.ch>b _ChangedValue 5") << QByteArray("a.ch>c _ChangedValue 5") << QByteArray();
        QTest::newRow("event of another channel") << QByteArray("a.other>System _ChangedIsBusy 1") << QByteArray() << QByteArray("a.other>b _ChangedIsBusy 1") << QByteArray() << QByteArray();
    }
    void lines()
    {
        Peer b(bus->port()), c(bus->port());
        QCOMPARE(b.login("b") + '|' + c.login("c"), QByteArray("System>b @login Ok:|System>c @login Ok:"));
        b.send("System flgon a\nSystem flgon a.ch\nSystem flgon a.ch\nSystem flgon pmc01\nb Ready");   // a twice over; the controllers must not move
        c.send("System flgon a.ch\nSystem flgon a\nSystem flgoff a");   // a.ch only
        QCOMPARE(b.before("b>b Ready"), (QList<QByteArray>(4, "System>b @flgon Ok:").join('|')));
        QCOMPARE(c.before("System>c @flgoff Ok:"), QByteArray("System>c @flgon Ok:|System>c @flgon Ok:"));
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, logged);
        if (!logged.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, logged.constData());   // fails the row when it is not logged
        QTest::ignoreMessage(QtDebugMsg, "refused \"System End\" from \"a\": Undefined Command");
        a->send(written + "\nSystem End\nb End\nc End");   // markers: nothing else came, nothing twice
        QTEST(a->before("System>a @End Er: Undefined Command"), "atA");
        QTEST(b.before("a>b End"), "atB");
        QTEST(c.before("a>c End"), "atC");
    }

    // Stopped before the first tick on its way up, then down to the lower limit; a follows pmc01 twice over, as the node does.
    void move()
    {
        const QByteArray changed("pmc01.ax1>a _ChangedValue ");
        a->send("System flgon pmc01\nSystem flgon pmc01.ax1\npmc01.ax1 SpeedLow\npmc01.ax1 SetValue 1000");
        QCOMPARE(a->before("pmc01.ax1>a _ChangedIsBusy 1"), QByteArray("System>a @flgon Ok:|System>a @flgon Ok:|pmc01.ax1>a @SpeedLow Ok:|pmc01.ax1>a @SetValue Ok:"));
        // Before the first tick: only the time since the start can tell where it stands.
        QTimer::singleShot(SimAxis::TickMs / 10, a.get(), [this] { a->send("pmc01.ax1 SetValue 0\npmc01.ax1 Stop"); });
        QTest::ignoreMessage(QtDebugMsg, "refused \"pmc01.ax1 SetValue 0\" from \"a\": Busy, moving to 1000");
        QCOMPARE(a->before("pmc01.ax1>a @Stop Ok:"), QByteArray("pmc01.ax1>a @SetValue Er: Busy, moving to 1000"));
        const QByteArray stopped = a->before("pmc01.ax1>a _ChangedIsBusy 0").mid(changed.size());   // one event: where it stands
        QVERIFY2(stopped.toInt() > 100 && stopped.toInt() < 1000, stopped.constData());
        a->send("pmc01.ax1 GetValue\npmc01.ax1 SetValue -1000");
        QCOMPARE(a->before("pmc01.ax1>a _ChangedIsBusy 1"), "pmc01.ax1>a @GetValue " + stopped + "|pmc01.ax1>a @SetValue Ok:");
        const QList<QByteArray> got = a->before("pmc01.ax1>a _ChangedIsBusy 0").split('|');
        int previous = stopped.toInt();
        for (const QByteArray &line : got) {
            const int value = line.startsWith(changed) ? line.mid(changed.size()).toInt() : 1000;
            QVERIFY2(value < previous && value >= -1000, line.constData());   // each once, on the way
            previous = value;
        }
        QVERIFY2(got.size() >= 3 && previous == -1000, got.join(" | ").constData());
        QVERIFY(a->next(300).isNull());   // and it stays there
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
