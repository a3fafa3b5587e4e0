#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

#include "bus/orvex.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "fakebus.h"

// Controller proxies and aliases on a link that is logged in to a fake bus in this process.
class tst_devices : public QObject
{
    Q_OBJECT

    FakeBus bus;
    QTemporaryDir keyDir;
    Orvex *link = nullptr;

    // Raises the link's signal for the line, as its dispatcher does.
    void deliver(const QString &line)
    {
        SMsg msg;
        msg.Parse(line);
        if (msg.command == "@GetValue")
            emit link->AnsGetValue(msg);
        else if (msg.command == "_ChangedIsBusy")
            emit link->EvChangedIsBusy(msg);
        else if (msg.command == "_ChangedValue")
            emit link->EvChangedValue(msg);
        else
            QFAIL(qPrintable("not a controller line: " + line));
    }

    // What the link wrote since the last call.
    QByteArrayList written()
    {
        link->SendCommand("sentinel", "Stop", QString());
        if (!bus.waitFor("sentinel Stop"))
            return bus.skipped << "(sentinel not seen)";
        return bus.skipped;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keyDir.isValid());
        QFile keys(keyDir.filePath("node.key"));
        QVERIFY(keys.open(QIODevice::WriteOnly));
        keys.write("alpha beta\n");
        keys.close();
        link = new Orvex;
        link->MakeConnection("zerlint0", keyDir.filePath("node"), "127.0.0.1",
                             QString::number(bus.port()));
        QCOMPARE(bus.login(0), QByteArray("zerlint0 alpha"));
        QTRY_COMPARE(link->linkState(), int(Orvex::StateReady));
    }

    void cleanupTestCase()
    {
        // The link ends the process when its socket disconnects; it must go first.
        QTcpSocket *socket = link ? link->connection() : nullptr;
        delete link;
        link = nullptr;
        delete socket;
    }

    void addressMatching_data()
    {
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<bool>("taken");

        QTest::newRow("node and channel") << "ax3" << "pmc01.ax3" << true;
        QTest::newRow("node in other case") << "ax3" << "PMC01.ax3" << false;
        QTest::newRow("channel in other case") << "ax3" << "pmc01.AX3" << false;
        QTest::newRow("node alone") << "ax3" << "pmc01" << false;
        QTest::newRow("longer channel") << "ax3" << "pmc01.ax3.b" << false;
        QTest::newRow("shorter channel") << "ax3" << "pmc01.ax" << false;
        QTest::newRow("no channel: node") << "" << "pmc01" << true;
        QTest::newRow("no channel: node with a channel") << "" << "pmc01.ax3" << false;
        QTest::newRow("no channel: node in other case") << "" << "Pmc01" << false;
    }

    void addressMatching()
    {
        QFETCH(QString, channel);
        QFETCH(QString, sender);
        QFETCH(bool, taken);

        aPm pm("m1", "pmc01", channel, link);
        QSignalSpy got(&pm, &aPm::gotValue);
        QSignalSpy fresh(&pm, &aPm::newValue);
        QSignalSpy busy(&pm, &aPm::changedIsBusy);

        deliver(sender + ">zerlint0 @GetValue 42");
        QCOMPARE(pm.lastValue(), taken ? "42" : "");
        deliver(sender + ">zerlint0 _ChangedValue 43");
        deliver(sender + ">zerlint0 _ChangedIsBusy 1");
        QCOMPARE(pm.lastValue(), taken ? "43" : "");
        QCOMPARE(pm.isBusy(), taken);
        QCOMPARE(got.count(), taken ? 1 : 0);
        QCOMPARE(fresh.count(), taken ? 1 : 0);
        QCOMPARE(busy.count(), taken ? 1 : 0);
    }

    void valueAsReceived_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("value");

        QTest::newRow("reply kept as text") << "pmc01.ax3>zerlint0 @GetValue 12.50" << "12.50";
        QTest::newRow("reply with an error text") << "pmc01.ax3>zerlint0 @GetValue Er: no answer"
                                                  << "Er: no answer";
        QTest::newRow("reply without text") << "pmc01.ax3>zerlint0 @GetValue" << "";
        QTest::newRow("event kept as text") << "pmc01.ax3>zerlint0 _ChangedValue -3e2" << "-3e2";
        QTest::newRow("event without text") << "pmc01.ax3>zerlint0 _ChangedValue" << "";
    }

    void valueAsReceived()
    {
        QFETCH(QString, line);
        QFETCH(QString, value);

        aPm pm("m1", "pmc01", "ax3", link);
        deliver("pmc01.ax3>zerlint0 @GetValue 7");
        deliver(line);
        QCOMPARE(pm.lastValue(), value);
    }

    void busyParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("busy");

        QTest::newRow("1") << "1" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("2") << "2" << false;
        QTest::newRow("-1") << "-1" << false;
        QTest::newRow("word") << "busy" << false;
        QTest::newRow("no text") << "" << false;
        QTest::newRow("not an integer") << "1.0" << false;
        QTest::newRow("two numbers") << "1 1" << false;
        QTest::newRow("beyond 32 bits, low bits 1") << "4294967297" << false;
    }

    void busyParsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, busy);

        aPm pm("m1", "pmc01", "ax3", link);
        deliver("pmc01.ax3>zerlint0 _ChangedIsBusy 1");
        QVERIFY(pm.isBusy());
        QSignalSpy changed(&pm, &aPm::changedIsBusy);
        deliver("pmc01.ax3>zerlint0 _ChangedIsBusy " + text);
        QCOMPARE(pm.isBusy(), busy);
        QCOMPARE(changed.count(), 1);   // also when nothing changed
    }

    void integerTarget_data()
    {
        QTest::addColumn<double>("target");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("pulses");

        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("positive fraction") << 12.9 << true << 12;
        QTest::newRow("negative fraction") << -12.9 << true << -12;
        QTest::newRow("small negative") << -0.4 << true << 0;
        QTest::newRow("largest, with fraction") << 2147483647.9 << true << 2147483647;
        QTest::newRow("one beyond largest") << 2147483648.0 << false << 0;
        QTest::newRow("smallest, with fraction") << -2147483648.9 << true << -2147483647 - 1;
        QTest::newRow("one beyond smallest") << -2147483649.0 << false << 0;
        QTest::newRow("infinite") << inf << false << 0;
        QTest::newRow("minus infinite") << -inf << false << 0;
        QTest::newRow("not a number") << std::nan("") << false << 0;
    }

    void integerTarget()
    {
        QFETCH(double, target);
        QFETCH(bool, ok);
        QFETCH(int, pulses);

        qint32 out = 0;
        QCOMPARE(aPm::integerTarget(target, out), ok);
        if (ok)
            QCOMPARE(out, pulses);
    }

    void commandLines()
    {
        written();
        aPm channel("m1", "pmc01", "ax3", link);
        aPm node("m2", "pmc02", "", link);
        channel.FlgOn();
        node.FlgOn();
        QVERIFY(channel.SetValue(-12.9));
        QVERIFY(!channel.SetValue(std::numeric_limits<double>::infinity()));
        QVERIFY(!channel.SetValue(std::nan("")));
        QVERIFY(!channel.SetValue(3e9));
        channel.Speed(3);
        channel.Speed(-1);
        channel.Speed(1);
        node.GetValue();
        QCOMPARE(written(), QByteArrayList({"System flgon pmc01", "System flgon pmc01.ax3",
                                            "System flgon pmc02", "System flgon pmc02",
                                            "pmc01.ax3 SetValue -12", "pmc01.ax3 SpeedMiddle",
                                            "pmc02 GetValue"}));
    }

    // An alias over pa.x and pb (or pa.x twice): its value and information texts.
    void aliasTexts_data()
    {
        QTest::addColumn<QString>("factor1");
        QTest::addColumn<QString>("factor2");
        QTest::addColumn<QString>("offset");
        QTest::addColumn<bool>("oneProxy");
        QTest::addColumn<QString>("value1");
        QTest::addColumn<QString>("value2");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("info");

        QTest::newRow("sum") << "1" << "1" << "0" << false << "100" << "50"
                             << "150" << "pa.x pb 1 1 0";
        QTest::newRow("weights and offset") << "2" << "1" << "10" << false << "10" << "30"
                                            << "40" << "pa.x pb 2 1 10";
        QTest::newRow("difference") << "1" << "-1" << "0" << false << "100" << "150"
                                    << "-50" << "pa.x pb 1 -1 0";
        QTest::newRow("one proxy twice") << "0.5" << "0.5" << "0" << true << "1000" << "-"
                                         << "1000" << "pa.x pa.x 0.5 0.5 0";
        QTest::newRow("six digits") << "1" << "1" << "1234567" << false << "1234000" << "1235134"
                                    << "1.23457e+06" << "pa.x pb 1 1 1.23457e+06";
        QTest::newRow("small") << "0.001" << "0.001" << "0" << false << "2" << "3"
                               << "0.005" << "pa.x pb 0.001 0.001 0";
        QTest::newRow("below 1e-4") << "1e-7" << "0.001" << "0" << false << "200" << "0.03"
                                    << "5e-05" << "pa.x pb 1e-07 0.001 0";
        QTest::newRow("empty value counts 0") << "1" << "1" << "0" << false << "" << "50"
                                              << "50" << "pa.x pb 1 1 0";
        QTest::newRow("error text counts 0") << "1" << "1" << "0" << false << "100" << "Er:timeout"
                                             << "100" << "pa.x pb 1 1 0";
        QTest::newRow("numbers that are not") << "x" << "" << "1,5" << false << "100" << "50"
                                              << "0" << "pa.x pb 0 0 0";
        QTest::newRow("offset alone") << "0" << "0" << "-2.50" << false << "100" << "50"
                                      << "2.5" << "pa.x pb 0 0 -2.5";
    }

    void aliasTexts()
    {
        QFETCH(QString, factor1);
        QFETCH(QString, factor2);
        QFETCH(QString, offset);
        QFETCH(bool, oneProxy);
        QFETCH(QString, value1);
        QFETCH(QString, value2);
        QFETCH(QString, value);
        QFETCH(QString, info);

        aPm a("a", "pa", "x", link);
        aPm b("b", "pb", "", link);
        deliver("pa.x>zerlint0 @GetValue " + value1);
        deliver("pb>zerlint0 @GetValue " + value2);
        anAlias alias("al", &a, oneProxy ? &a : &b, factor1, factor2, offset, link);
        QCOMPARE(alias.valueText(), value);
        QCOMPARE(alias.infoText(), info);
    }

    void gotValueOnlyWhenIdle()
    {
        aPm a("a", "pa", "x", link);
        aPm b("b", "pb", "", link);
        anAlias alias("al", &a, &b, "1", "1", "0", link);
        anAlias follower("fo", &a, &a, "0.5", "0.5", "0", link);
        QSignalSpy got(&alias, &anAlias::gotValue);
        QSignalSpy followerGot(&follower, &anAlias::gotValue);

        deliver("pa.x>zerlint0 @GetValue 1");
        QCOMPARE(got.count(), 1);
        QCOMPARE(followerGot.count(), 1);   // one notification, though both halves are pa.x
        deliver("pb>zerlint0 _ChangedIsBusy 1");
        deliver("pa.x>zerlint0 @GetValue 2");
        deliver("pb>zerlint0 @GetValue 3");
        QCOMPARE(got.count(), 1);
        QCOMPARE(followerGot.count(), 2);
        deliver("pb>zerlint0 _ChangedIsBusy 0");
        deliver("pb>zerlint0 @GetValue 4");
        deliver("pb>zerlint0 _ChangedValue 5");
        QCOMPARE(got.count(), 2);
        QCOMPARE(alias.valueText(), "7");   // a's value taken while b was busy counts
        written();                          // drop the busy and value events
    }

    void busyAliasRefuses()
    {
        written();
        aPm a("a", "pa", "x", link);
        aPm b("b", "pb", "", link);
        deliver("pa.x>zerlint0 @GetValue 100");
        deliver("pb>zerlint0 @GetValue 50");
        anAlias alias("al", &a, &b, "1", "1", "0", link);
        auto request = [](const char *line) {
            SMsg msg;
            msg.Parse(line);
            return msg;
        };

        QVERIFY(alias.Stop(request("c1>zerlint0.al Stop")));
        deliver("pb>zerlint0 _ChangedIsBusy 1");
        QVERIFY(alias.isBusy());
        QVERIFY(!alias.GetValue(request("c2>zerlint0.al GetValue")));
        QVERIFY(!alias.Speed(request("c2>zerlint0.al SpeedLow"), 2));
        QCOMPARE(alias.SetValue(request("c2>zerlint0.al SetValue 5")), anAlias::MoveBusy);
        QCOMPARE(alias.SetValueREL(request("c2>zerlint0.al SetValueREL 5")), anAlias::MoveBusy);
        QCOMPARE(alias.request().from, "c1");
        QVERIFY(alias.takePendingValueRequests().isEmpty());
        QVERIFY(alias.StopEmergency(request("c3>zerlint0.al StopEmergency")));
        QCOMPARE(alias.request().from, "c3");
        QCOMPARE(written(), QByteArrayList({"pa.x Stop", "pb Stop",
                                            "zerlint0.al>System _ChangedIsBusy 1",
                                            "pa.x StopEmergency", "pb StopEmergency"}));
    }
};

QTEST_MAIN(tst_devices)
#include "tst_devices.moc"
