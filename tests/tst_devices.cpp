#include <QRandomGenerator>
#include <QTest>

#include "bus/orvex.h"
#include "config/paramstore.h"
#include "devices/analias.h"
#include "devices/apm.h"
#include "devices/definitions.h"
#include "devices/numbers.h"

class tst_devices : public QObject
{
    Q_OBJECT
    Orvex link;   // not connected: what the proxies write goes nowhere
    static SMsg from(const QString &sender, const QString &params) { return {sender, {}, {}, {}, params, {}}; }
private slots:
    // Replies and events reach the proxies of their sender's exact address, all of them, and no other.
    void routing_data()
    {
        for (const char *column : {"sender", "busyText", "took"})   // took: ids that took 42, "*" when busy
            QTest::addColumn<QString>(column);
        QTest::newRow("channel address, two proxies") << "pmc01.ax3" << "1" << "m1* m3*";
        QTest::newRow("node alone, 2 is not busy") << "pmc01" << "2" << "m2";
        QTest::newRow("beyond 32 bits with low bits 1 is not busy") << "pmc02" << "4294967297" << "m4";
        QTest::newRow("node in other case") << "PMC01.ax3" << "1" << "";
        QTest::newRow("no proxy there") << "pmc09" << "1" << "";
    }
    void routing()
    {
        ParamStore params;
        for (const char *rest : {" m1 pmc01 ax3", " m2 pmc01", " m3 pmc01 ax3", " m4 pmc02"})
            params.addEntry("PM", QString(rest).section(' ', 1, 1), rest);
        Definitions defs;
        defs.load(params, &link);
        QFETCH(QString, sender);
        QFETCH(QString, busyText);
        defs.route(from(sender, "42"), &aPm::AnsGetValue);
        defs.route(from(sender, busyText), &aPm::EvChangedIsBusy);
        defs.route(from(sender, "43"), &aPm::EvChangedValue);
        QStringList took;
        for (const aPm *pm : defs.controllers()) {
            if (pm->lastValue() == "43")
                took << pm->id + (pm->isBusy() ? "*" : "");
            else
                QVERIFY(pm->lastValue().isEmpty() && !pm->isBusy());
        }
        QTEST(took.join(' '), "took");
    }

    void integerTarget()
    {
        qint32 out = 0;
        QVERIFY(aPm::integerTarget(2147483647.9, out) && out == 2147483647);   // truncated
        QVERIFY(aPm::integerTarget(-2147483648.9, out) && out == -2147483647 - 1);
        for (const double beyond : {2147483648.0, -2147483649.0, qInf(), qQNaN()})
            QVERIFY2(!aPm::integerTarget(beyond, out), qPrintable(QString::number(beyond)));
    }

    // The alias's own number reading and writing must agree with Qt's to the bit.
    void numbersAsQtHasThem()
    {
        QStringList texts{"0", "-0", "007", "-12.5", "0.1", "123456789012345678901234", "1234567890123456789012345",
                          ".5", "5.", "-", "", "+5", " 5", "1e3", "1E-400", "1e999", "inf", "-nan", "0x10", "1,5",
                          "12abc", "--1", "+-5", "-+5", "1.2.3", "-.5", "9007199254740993", "0.30000000000000004441"};
        QList<double> values{0.0, -0.0, 999999.0, -999999.0, 1e6, -1e6, 999999.5, 1e-5, 2.5e15, qInf(), -qInf(),
                             qQNaN()};
        QRandomGenerator random(7);
        for (int i = 0; i < 2000; ++i) {
            const double v = (random.generateDouble() - 0.5) * std::pow(10.0, random.bounded(-8, 12));
            values << v << std::trunc(v);
            texts << QString::number(v, 'f', random.bounded(0, 12)) << QString::number(qint64(v));
        }
        const auto bits = [](double v) { return QByteArray(reinterpret_cast<const char *>(&v), sizeof v); };
        for (const QString &text : std::as_const(texts)) {
            bool ok = false;
            const double want = text.toDouble(&ok);
            double got = 0;
            QCOMPARE(readNumber(text, got), ok);
            if (ok)
                QVERIFY2(bits(got) == bits(want), qPrintable(text));
        }
        for (const double v : std::as_const(values))
            QCOMPARE(numberText(v), QString::number(v, 'g', 6));
    }

    void aliasTexts_data()
    {
        // factor1 factor2 offset as on an ALIAS line, the values of pa.x and pb; the channel of pa when not x
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("info");
        const auto row = [](const char *name, const QString &texts, const QString &value, const QString &info) {
            QTest::newRow(name) << texts.split('|') << value << info;
        };
        row("6 digits", "2|1|-1234567|1|-2", "1.23457e+06", "pa.x pb 2 1 -1.23457e+06");
        row("below 1e-4", "1e-7|0.001|0|200|0.03", "5e-05", "pa.x pb 1e-07 0.001 0");
        row("not numbers count 0", "2|1|x||Er:timeout", "0", "pa.x pb 2 1 0");
        row("beyond a double counts 0", "1|1|0|1e999|-1e999", "0", "pa.x pb 1 1 0");
        const QString channel(200, 'x');   // information too long to keep whole
        row("long address", "1|1|0|1|2|" + channel, "3", "pa." + channel + " pb 1 1 0");
    }
    void aliasTexts()
    {
        QFETCH(QStringList, texts);
        aPm a("a", "pa", texts.value(5, "x"), &link), b("b", "pb", "", &link);
        a.AnsGetValue(from("pa.x", texts.at(3)));
        b.AnsGetValue(from("pb", texts.at(4)));
        const anAlias alias("al", &a, &b, texts.at(0), texts.at(1), texts.at(2), &link);
        QTEST(alias.valueText(), "value");
        const auto info = alias.infoParts();
        QTEST(QString().append(info[0]).append(info[1]).append(info[2]).append(info[3]), "info");
    }
};

QTEST_MAIN(tst_devices)
#include "tst_devices.moc"
