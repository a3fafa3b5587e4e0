#include <QTest>

#include "fakebus.h"

// Temporary: the node logs in and answers Help.
class tst_smoke : public QObject
{
    Q_OBJECT
private slots:
    void helpAnswered()
    {
        FakeBus bus;
        NodeProcess node;
        node.writeFile("zerlint0.key", "alpha beta gamma\n");
        node.writeFile("config.cfg", QByteArray("ORVEX_SERVER 127.0.0.1\nORVEX_PORT ")
                                         + QByteArray::number(bus.port()) + "\nPM m1 pmc01 ax3\nPM m2 pmc02\nALIAS gap m1 m2 1 1 0\n");
        QVERIFY(node.start());
        QCOMPARE(bus.login(7), QByteArray("zerlint0 beta"));
        QCOMPARE(bus.nextLine(), QByteArray("System flgon pmc01"));
        bus.send("c7>zerlint0 Help\n");
        QVERIFY(bus.waitFor("zerlint0>c7 @Help Help GetChs GetChInfo IsBusy StopEmergency Stop Remote SetValue SetValueREL GetValue SpeedHigh SpeedMiddle SpeedLow"));
        bus.send("pmc01.ax3>zerlint0 @GetValue 100\npmc02>zerlint0 @GetValue 50\nc7>zerlint0.gap SetValue 250\n");
        QVERIFY(bus.waitFor("pmc01.ax3 SetValue 150"));
        QCOMPARE(bus.nextLine(), QByteArray("pmc02 SetValue 100"));
        QCOMPARE(bus.nextLine(), QByteArray("zerlint0.gap>c7 @SetValue Ok:"));
        bus.node()->close();
        QCOMPARE(node.waitForExit(), 0);
    }
};

QTEST_MAIN(tst_smoke)
#include "tst_smoke.moc"
