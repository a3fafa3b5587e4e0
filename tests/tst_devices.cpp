#include <QTest>

#include "bus/orvex.h"
#include "devices/analias.h"
#include "devices/apm.h"

// Proxies fed through their slots; the link is not connected, so what they write goes nowhere.
class tst_devices : public QObject
{
    Q_OBJECT

    Orvex link;
    static SMsg from(const QString &sender, const QString &params)
    {
        SMsg msg;
        msg.from = sender;
        msg.params = params;
        return msg;
    }

private slots:
    // A busy proxy of pmc01 (and channel) gets a value reply, a value event and a busy report.
    void proxyInput_data()
    {
        for (const char *column : {"channel", "sender", "busyText"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<bool>("taken");
        QTest::addColumn<bool>("busy");
        QTest::newRow("own address, 1") << "ax3" << "pmc01.ax3" << "1" << true << true;
        QTest::newRow("node in other case") << "ax3" << "PMC01.ax3" << "0" << false << true;
        QTest::newRow("channel in other case") << "ax3" << "pmc01.AX3" << "0" << false << true;
        QTest::newRow("node alone") << "ax3" << "pmc01" << "0" << false << true;
        QTest::newRow("no channel: node, 0") << "" << "pmc01" << "0" << true << false;
        QTest::newRow("no channel: node with channel") << "" << "pmc01.ax3" << "0" << false << true;
        QTest::newRow("2") << "ax3" << "pmc01.ax3" << "2" << true << false;
        QTest::newRow("beyond 32 bits, low bits 1") << "" << "pmc01" << "4294967297" << true << false;
    }
    void proxyInput()
    {
        QFETCH(QString, channel);
        QFETCH(QString, sender);
        QFETCH(QString, busyText);
        QFETCH(bool, taken);
        aPm pm("m1", "pmc01", channel, &link);
        pm.EvChangedIsBusy(from(pm.address, "1"));
        pm.AnsGetValue(from(sender, "42"));
        QCOMPARE(pm.lastValue(), taken ? "42" : "");
        pm.EvChangedValue(from(sender, "43"));
        pm.EvChangedIsBusy(from(sender, busyText));
        QCOMPARE(pm.lastValue(), taken ? "43" : "");
        QTEST(pm.isBusy(), "busy");
    }

    // Targets are truncated toward zero; one with no 32-bit form is not written at all.
    void integerTarget()
    {
        qint32 out = 0;
        QCOMPARE(aPm::integerTarget(2147483647.9, out) ? out : 0, 2147483647);
        QCOMPARE(aPm::integerTarget(-2147483648.9, out) ? out : 0, -2147483647 - 1);
        for (const double beyond : {2147483648.0, -2147483649.0, qInf(), qQNaN()})
            QVERIFY2(!aPm::integerTarget(beyond, out), qPrintable(QString::number(beyond)));
    }

    // An alias over pa.x and pb; numbers as on an ALIAS line: factor1 factor2 offset.
    void aliasTexts_data()
    {
        for (const char *column : {"numbers", "value1", "value2", "value", "info"})
            QTest::addColumn<QString>(column);
        QTest::newRow("6 digits") << "2 1 -1234567" << "1" << "-2" << "1.23457e+06" << "2 1 -1.23457e+06";
        QTest::newRow("below 1e-4") << "1e-7 0.001 0" << "200" << "0.03" << "5e-05" << "1e-07 0.001 0";
        QTest::newRow("not numbers count 0") << "2 1 x" << "" << "Er:timeout" << "0" << "2 1 0";
    }
    void aliasTexts()
    {
        QFETCH(QString, numbers);
        QFETCH(QString, value1);
        QFETCH(QString, value2);
        QFETCH(QString, info);
        aPm a("a", "pa", "x", &link), b("b", "pb", "", &link);
        a.AnsGetValue(from("pa.x", value1));
        b.AnsGetValue(from("pb", value2));
        const QStringList n = numbers.split(' ');
        const anAlias alias("al", &a, &b, n.at(0), n.at(1), n.at(2), &link);
        QTEST(alias.valueText(), "value");
        QCOMPARE(alias.infoText(), "pa.x pb " + info);
    }
};

QTEST_MAIN(tst_devices)
#include "tst_devices.moc"
