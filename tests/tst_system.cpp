#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

#include "bus/orvex.h"
#include "fakebus.h"
#include "sim/busserver.h"

namespace {

// What one orvex-client session showed: its exit status and the lines it received.
struct Talk
{
    int status = -1;
    QList<QByteArray> received;
};

// orvex-sim in the test process with the example controllers, the real node on it with the
// example configuration, and orvex-client sessions to talk to the node.
class System
{
public:
    explicit System(double timeScale)
        : bus(exampleKeys())
    {
        QList<AxisSetup> setups;
        readAxisFile(QFINDTESTDATA("../examples/sim.cfg"), setups);
        for (const AxisSetup &setup : setups)
            axes.append(bus.addAxis(setup, timeScale));
        bus.listen(QHostAddress::LocalHost, 0);
        QFile keys(QFINDTESTDATA("../examples/demo.key"));
        keys.open(QIODevice::ReadOnly);
        node.writeFile("zerlint0.key", keys.readAll());
        node.writeFile("config.cfg", "INCLUDE " + QFINDTESTDATA("../examples/config.cfg").toUtf8()
                                         + "\nORVEX_PORT " + QByteArray::number(bus.port()) + "\n");
    }

    bool start()
    {
        return !axes.isEmpty() && node.start()
            && QTest::qWaitFor([this] { return bus.nodeNames().contains("zerlint0"); }, 5000);
    }

    // One orvex-client session as client "t"; without until it ends once the bus is quiet.
    Talk talk(const QStringList &lines, const QString &until, double timeout = 5, const QString &name = "t")
    {
        QStringList args{"--port", QString::number(bus.port()), "--keys", QFINDTESTDATA("../examples/demo.key"),
                         "--name", name, "--timeout", QString::number(timeout)};
        if (!until.isEmpty())
            args << "--until" << until;
        QProcess client;
        client.start(binDir() + "/orvex-client", args + lines);
        Talk talk;
        // The simulated bus runs on this thread's event loop, so wait without blocking it.
        if (!client.waitForStarted(5000)
            || !QTest::qWaitFor([&client] { return client.state() == QProcess::NotRunning; }, int(timeout * 1000) + 5000))
            return talk;
        static const QRegularExpression shown("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} <- (.*)$");
        for (const QByteArray &line : client.readAllStandardOutput().split('\n')) {
            const QRegularExpressionMatch match = shown.match(QString::fromUtf8(line));
            if (match.hasMatch())
                talk.received.append(match.captured(1).toUtf8());
        }
        talk.status = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
        return talk;
    }

    BusServer bus;
    QList<SimAxis *> axes;   // pmc01.ax1, pmc01.ax2, pmc02
    NodeProcess node;

private:
    static QStringList exampleKeys()
    {
        Orvex reader;
        reader.ReadKeyFile(QFINDTESTDATA("../examples/demo.key").chopped(4));
        return reader.keyList();
    }
    static QString binDir()
    {
        const QString dir = qEnvironmentVariable("ZERLINT_BIN_DIR");
        return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
    }
};

// What an alias said, without its address: "zerlint0.gap>t @GetValue 1" gives "@GetValue 1".
QList<QByteArray> saidBy(const QByteArray &alias, const QList<QByteArray> &lines)
{
    QList<QByteArray> said;
    const QByteArray prefix = "zerlint0." + alias + ">t ";
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            said.append(line.mid(prefix.size()));
    }
    return said;
}

double numberAfter(const QByteArray &word, const QByteArray &text)
{
    return text.startsWith(word + ' ') ? text.mid(word.size() + 1).toDouble() : qQNaN();
}

} // namespace

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void aliasMove_data()
    {
        QTest::addColumn<QByteArray>("alias");     // example values: gap 2000, centre 0, height_mm 5
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("tolerance");     // one count of truncation per controller
        QTest::newRow("gap, whole halves") << QByteArray("gap") << QByteArray("SetValue 3000") << 3000.0 << 2.0;
        QTest::newRow("gap, odd target truncated in each half") << QByteArray("gap") << QByteArray("SetValue 3001") << 3001.0 << 2.0;
        QTest::newRow("gap, relative move down") << QByteArray("gap") << QByteArray("SetValueREL -333") << 1667.0 << 2.0;
        QTest::newRow("centre, controllers in opposite directions") << QByteArray("centre") << QByteArray("SetValue -151") << -151.0 << 1.0;
        QTest::newRow("height_mm, one controller for both halves") << QByteArray("height_mm") << QByteArray("SetValue 7.25") << 7.25 << 0.001;
    }
    void aliasMove()
    {
        QFETCH(QByteArray, alias);
        QFETCH(QByteArray, command);
        QFETCH(double, target);
        QFETCH(double, tolerance);
        System system(4);
        QVERIFY(system.start());
        const QString address = "zerlint0." + alias;
        const Talk before = system.talk({address + " GetValue"}, "@GetValue");
        QCOMPARE(before.status, 0);
        const double start = numberAfter("@GetValue", saidBy(alias, before.received).value(0));
        QVERIFY(!std::isnan(start));

        const Talk move = system.talk({"System flgon " + address, address + ' ' + command},
                                      "^" + address + ">t _ChangedIsBusy 0$");
        QCOMPARE(move.status, 0);
        const QList<QByteArray> said = saidBy(alias, move.received);
        QVERIFY2(said.size() >= 4, said.join(" | "));
        QCOMPARE(said.first(), "@" + command.left(command.indexOf(' ')) + " Ok:");
        QCOMPARE(said.at(1), QByteArray("_ChangedIsBusy 1"));
        QCOMPARE(said.last(), QByteArray("_ChangedIsBusy 0"));
        // In between only values, each one on the way from the start to the target.
        double previous = start;
        const double direction = target > start ? 1 : -1;
        for (const QByteArray &event : said.mid(2, said.size() - 3)) {
            const double value = numberAfter("_ChangedValue", event);
            QVERIFY2(!std::isnan(value), event);
            QVERIFY2((value - previous) * direction >= 0, event);
            QVERIFY2((target - value) * direction >= -tolerance, event);
            previous = value;
        }
        QVERIFY2(std::fabs(previous - target) <= tolerance, said.at(said.size() - 2));

        const Talk after = system.talk({address + " GetValue"}, "@GetValue");
        QCOMPARE(saidBy(alias, after.received).value(0), QByteArray(said.at(said.size() - 2)).replace("_ChangedValue", "@GetValue"));
    }

    void typoMovesNothing_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("letters") << QByteArray("SetValue abc") << QByteArray("@SetValue Er:Value [abc] is not a number");
        QTest::newRow("relative, trailing letter") << QByteArray("SetValueREL 1x") << QByteArray("@SetValueREL Er:Value [1x] is not a number");
        QTest::newRow("no value") << QByteArray("SetValue") << QByteArray("@SetValue Er:Value is not given");
    }
    void typoMovesNothing()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        System system(4);
        QVERIFY(system.start());
        // No event may come, so the client runs out of time.
        const Talk typo = system.talk({"System flgon zerlint0.gap", "zerlint0.gap " + command}, "_Changed", 0.6);
        QCOMPARE(typo.status, 1);
        QCOMPARE(saidBy("gap", typo.received), QList<QByteArray>{reply});
        for (const SimAxis *axis : std::as_const(system.axes))
            QVERIFY(!axis->isMoving());
        QCOMPARE(system.axes.at(0)->position(), qint64(1000));
        QCOMPARE(system.axes.at(1)->position(), qint64(1000));
        const Talk after = system.talk({"zerlint0.gap GetValue"}, "@GetValue");
        QCOMPARE(saidBy("gap", after.received), QList<QByteArray>{"@GetValue 2000"});
    }

    void clientStatus_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("until");
        QTest::addColumn<double>("timeout");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("lastLine");
        const QByteArray chs = "zerlint0>t @GetChs gap centre height height_mm";
        QTest::newRow("matched") << "t" << "@GetChs" << 5.0 << 0 << chs;
        QTest::newRow("no --until: ends when quiet") << "t" << QString() << 5.0 << 0 << chs;
        QTest::newRow("nothing matched in time") << "t" << "never" << 0.5 << 1 << chs;
        QTest::newRow("login refused, name in use") << "zerlint0" << "@GetChs" << 5.0 << 2
                                                    << QByteArray("System>zerlint0 @login Er: Name [zerlint0] is already in use");
    }
    void clientStatus()
    {
        QFETCH(QString, name);
        QFETCH(QString, until);
        QFETCH(double, timeout);
        QFETCH(int, status);
        QFETCH(QByteArray, lastLine);
        System system(1);
        QVERIFY(system.start());
        const Talk talk = system.talk({"zerlint0 GetChs"}, until, timeout, name);
        QCOMPARE(talk.status, status);
        QCOMPARE(talk.received.value(talk.received.size() - 1), lastLine);
    }
};

QTEST_MAIN(tst_system)
#include "tst_system.moc"
