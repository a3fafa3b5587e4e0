#include <QTest>

#include "fakebus.h"

// The real node against a fake bus: every line it writes, exactly and in order.
static QByteArrayList linesOf(const QByteArray &text)   // text ends with a line end
{
    return text.isEmpty() ? QByteArrayList() : text.chopped(1).split('\n');
}

class tst_node : public QObject
{
    Q_OBJECT

private slots:
    void definitions()
    {
        ServedNode node;
        QVERIFY(node.start("PM m1 pmc01 ax3\nPM m2 pmc02\nPM m1 pmc03 ax1\nALIAS early m1 m9 1 1 0\npm m5 pmc05\n"
                           "PM m9 pmc09\nALIAS gap m1 m2 1 1 0\nALIAS \"gap\" m2 m1 2 2 0\nALIAS Gap m2 m1 2 2 0\n"
                           "ALIAS bad1 mX m2 1 1 0\nALIAS bad2 m1 M1 1 1 0\nAlias low m1 m2 1 1 0\n"));
        QVERIFY(node.proc.waitForLog("make connection"));
        const QByteArray log = node.proc.log();
        QCOMPARE(log.left(log.indexOf("make connection")),
            "def PM :  \"m1\" \"pmc01\" \"ax3\"\ndef PM :  \"m2\" \"pmc02\" \"\"\ndef PM :  \"m1\" \"pmc03\" \"ax1\"\n"
            "\"PM : The ID m1 is already used. [ m1 pmc03 ax1]\"\ndef PM :  \"m9\" \"pmc09\" \"\"\n"
            "def ALIAS :  \"early\" \"m1\" \"m9\" \"1\" \"1\" \"0\"\n"
            "def ALIAS :  \"gap\" \"m1\" \"m2\" \"1\" \"1\" \"0\"\n"
            "def ALIAS :  \"gap\" \"m2\" \"m1\" \"2\" \"2\" \"0\"\n"
            "\"ALIAS : The CH gap is already defined. [ \\\"gap\\\" m2 m1 2 2 0]\"\n"
            "def ALIAS :  \"Gap\" \"m2\" \"m1\" \"2\" \"2\" \"0\"\n"
            "def ALIAS :  \"bad1\" \"mX\" \"m2\" \"1\" \"1\" \"0\"\n"
            "\"One of the Chs mX and/or m2 is not defined. [ bad1 mX m2 1 1 0]\"\n"
            "def ALIAS :  \"bad2\" \"m1\" \"M1\" \"1\" \"1\" \"0\"\n"
            "\"One of the Chs m1 and/or M1 is not defined. [ bad2 m1 M1 1 1 0]\"\n");
        // Every subscription, node then address, before the first value request.
        QCOMPARE(node.priming, linesOf("System flgon pmc01\nSystem flgon pmc01.ax3\nSystem flgon pmc02\n"
                                       "System flgon pmc02\nSystem flgon pmc09\nSystem flgon pmc09\n"
                                       "pmc01.ax3 GetValue\npmc02 GetValue\npmc09 GetValue\n"));
        QCOMPARE(node.exchange("c7>zerlint0 GetChs\nc7>zerlint0.Gap GetChs\nc7>zerlint0.GAP GetChs\n"
                               "c7>zerlint0 GetChInfo\nc7>zerlint0.GAP GetChInfo\nc7>zerlint0.gap GetChInfo\n"),
                 linesOf("zerlint0>c7 @GetChs early gap Gap\nzerlint0.Gap>c7 @GetChs Gap\n"
                         "zerlint0.GAP>c7 @GetChs Er:The ch [GAP] is not defined\n"
                         "zerlint0>c7 @GetChInfo Er: a Ch is not selected\n"
                         "zerlint0.GAP>c7 @GetChInfo Er:Channel [GAP] is not defined\n"
                         "zerlint0.gap>c7 @GetChInfo pmc01.ax3 pmc02 1 1 0\n"));
    }

    // 100,000 requests in large writes among controller events: each answered once, in order.
    void flood()
    {
        ServedNode node;
        QVERIFY(node.start("PM m1 pmc01 ax3\nPM m2 pmc02\nALIAS gap m1 m2 1 1 0\n"));
        QByteArray input;
        QByteArrayList expected;
        for (int i = 0; i < 100000; ++i) {
            const QByteArray n = QByteArray::number(i);
            input += "c" + n + ">zerlint0.gap IsBusy\n";
            expected << "zerlint0.gap>c" + n + " @IsBusy 0";
            if (i % 10 == 0) {
                input += "pmc02>zerlint0 _ChangedValue " + n + "\n";
                expected << "zerlint0.gap>System _ChangedValue " + n;
            }
            if (input.size() > 200000 || i == 99999)
                node.bus.send(std::exchange(input, {}));
        }
        node.bus.send("sync>zerlint0 IsBusy\n");
        QVERIFY(node.bus.waitFor("zerlint0>sync @IsBusy 0", 60000));
        QCOMPARE(node.bus.skipped, expected);
    }

    // A bus server that stops reading: the node stops too, and takes no more than a piece of what
    // keeps coming (here a 64 MiB line), its memory bounded; once the server reads again, every
    // reply arrives once and the long line is dropped.
    void slowReader()
    {
        QByteArray defs = "PM m1 pmc01 ax3\n";
        for (int i = 0; i < 200; ++i)
            defs += "ALIAS alias_with_a_longer_name_" + QByteArray::number(i) + " m1 m1 1 0 0\n";
        ServedNode node;
        QVERIFY(node.start(defs));
        const QByteArrayList names = node.exchange("c>zerlint0 GetChs\n");
        QCOMPARE(names.size(), 1);
        node.bus.pauseReading(true);
        [[maybe_unused]] const qint64 before = node.proc.residentKiB();   // unchecked under ASan
        node.bus.send(QByteArray("c>zerlint0 GetChs\n").repeated(20000)   // 120 MB of replies
                      + QByteArray(64 << 20, 'x') + "\nsync>zerlint0 IsBusy\n");
        qint64 last = -1;
        int steady = 0;   // readings in a row without change: the node waits
        QVERIFY(QTest::qWaitFor([&] {
            const qint64 now = node.proc.residentKiB();
            steady = now == last ? steady + 1 : 0;
            last = now;
            return steady >= 20;
        }, 30000));
#ifndef __SANITIZE_ADDRESS__   // its quarantine keeps what was freed
        QVERIFY2(last - before < 48 * 1024, qPrintable(QString::number(last - before) + " KiB more"));
#endif
        node.bus.pauseReading(false);
        QVERIFY(node.bus.waitFor("zerlint0>sync @IsBusy 0", 60000));
        QCOMPARE(node.bus.skipped, QByteArrayList(20000, names.first()));
        QVERIFY(node.proc.log().contains("\"Dropped an inbound line longer than 1048576 bytes\""));
    }

    // Controllers that do not answer in time: the requests are answered with their names, each is
    // logged once until it answers again, and the alias takes requests again.
    void silentControllers()
    {
        ServedNode node;
        QVERIFY(node.start("PM m1 pmc01 ax3\nPM m2 pmc02\nALIAS gap m1 m2 1 1 0\nGETVALUE_TIMEOUT 0.2\n"));
        const QByteArray late = " @GetValue Er:Controllers pmc01.ax3 and pmc02 did not answer within 0.2 s";
        const QByteArrayList asked{"pmc01.ax3 GetValue", "pmc02 GetValue"};
        QByteArray requests;
        QByteArrayList expected, answers;
        for (int i = 0; i < 66; ++i) {
            const QByteArray asker = "c" + QByteArray::number(i);
            requests += asker + ">zerlint0.gap GetValue\n";
            expected << (i < 64 ? asked : QByteArrayList{"zerlint0.gap>" + asker + " @GetValue Er:Channel [gap] "
                                                                                   "has 64 GetValue requests waiting"});
            answers << "zerlint0.gap>" + asker + late;
        }
        node.bus.send(requests);
        QVERIFY(node.bus.waitFor(answers.at(63)));
        QCOMPARE(node.bus.skipped, expected + answers.first(63));
        node.bus.send("c>zerlint0.gap GetValue\npmc02>zerlint0 @GetValue 50\n");   // the one not heard from waited for
        QVERIFY(node.bus.waitFor("zerlint0.gap>c @GetValue Er:Controller pmc01.ax3 did not answer within 0.2 s"));
        QCOMPARE(node.bus.skipped, asked);
        QCOMPARE(node.exchange("pmc01.ax3>zerlint0 @GetValue 10\nc>zerlint0.gap GetValue\n"
                               "pmc02>zerlint0 @GetValue 51\n"), asked + QByteArrayList{"zerlint0.gap>c @GetValue 61"});
        const QByteArray log = node.proc.log();
        for (const char *once : {"\"Controller pmc01.ax3 did not answer GetValue within 0.2 s\"",
                                 "\"Controller pmc02 did not answer GetValue within 0.2 s\"",
                                 "\"Controller pmc02 answers GetValue again\"",
                                 "\"Controller pmc01.ax3 answers GetValue again\""})
            QVERIFY2(log.count(once) == 1, log.constData());
    }

    void traffic_data();
    void traffic()
    {
        QFETCH(QByteArray, defs);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        ServedNode node;
        QVERIFY(node.start("PM m1 pmc01 ax3\nPM m2 pmc02\nALIAS gap m1 m2 1 1 0\n" + defs));
        QCOMPARE(node.exchange(input), linesOf(output));
        const QByteArray written = node.proc.log();
        QFETCH(QByteArrayList, log);
        for (const QByteArray &text : log)
            QVERIFY2(text.startsWith('!') ? !written.contains(text.mid(1)) : written.contains(text), text.constData());
    }
};

// Rows: definitions beside gap (pmc01.ax3 + pmc02, 1 1 0), what the bus sends, what the node writes.
void tst_node::traffic_data()
{
    QTest::addColumn<QByteArray>("defs");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArrayList>("log");   // texts in the log; "!" and a text: not there
    const auto row = [](const char *name, const QByteArray &defs, const QByteArray &input, const QByteArray &output,
                        const QByteArrayList &log = {}) { QTest::newRow(name) << defs << input << output << log; };
    // Requests of c7 to the node's channels: "gap Stop" is "c7>zerlint0.gap Stop".
    const auto c7 = [](const QByteArrayList &asks) { return "c7>zerlint0." + asks.join("\nc7>zerlint0.") + '\n'; };
    // What a move of gap writes: the targets of both controllers, then the answer.
    const auto moved = [](int p1, int p2, const char *word = "SetValue") {
        return "pmc01.ax3 SetValue " + QByteArray::number(p1) + "\npmc02 SetValue " + QByteArray::number(p2)
            + "\nzerlint0.gap>c7 @" + word + " Ok:\n";
    };
    const QByteArray none, x1 = "ALIAS x1 m1 m1 0.5 0.5 0\n";
    const QByteArray idle = "pmc01.ax3>zerlint0 @GetValue 100\npmc02>zerlint0 @GetValue 50\n";

    row("Help", none, "c7>zerlint0 Help\nc7>zerlint0 Help GetValue\nc7>zerlint0 Help @Stop\n"
        "c7>zerlint0 Help GetValue SetValue\nc7>zerlint0.gap Help\n",
        "zerlint0>c7 @Help Help GetChs GetChInfo IsBusy StopEmergency Stop Remote SetValue SetValueREL GetValue "
        "SpeedHigh SpeedMiddle SpeedLow\nzerlint0>c7 @Help Get a value of selected channel\n"
        "zerlint0>c7 @Help Not a command\nzerlint0>c7 @Help Er:The command GetValue SetValue is not\n"
        "zerlint0.gap>c7 @Help Er:No help info for the ch gap.\n");
    // One event per change of either controller, none for the first idle report.
    row("IsBusy, busy relay", x1,
        "c7>zerlint0 IsBusy\nc7>zerlint0.Gap IsBusy\nc7>zerlint0.gap IsBusy\npmc01.ax3>zerlint0 _ChangedIsBusy 0\n"
        "pmc01.ax3>zerlint0 _ChangedIsBusy 1\npmc02>zerlint0 _ChangedIsBusy 1\npmc01.ax3>zerlint0 _ChangedIsBusy 1\n"
        "c7>zerlint0.gap IsBusy\nc7>zerlint0 IsBusy\npmc01.ax3>zerlint0 _ChangedIsBusy 0\n"
        "pmc02>zerlint0 _ChangedIsBusy busy\nc7>zerlint0.gap IsBusy\n",
        "zerlint0>c7 @IsBusy 0\nzerlint0.Gap>c7 @IsBusy Er:Channel [Gap] is not defined\nzerlint0.gap>c7 @IsBusy 0\n"
        "zerlint0.gap>System _ChangedIsBusy 1\nzerlint0.x1>System _ChangedIsBusy 1\nzerlint0.gap>c7 @IsBusy 1\n"
        "zerlint0>c7 @IsBusy 0\nzerlint0.x1>System _ChangedIsBusy 0\nzerlint0.gap>System _ChangedIsBusy 0\n"
        "zerlint0.gap>c7 @IsBusy 0\n");

    // Every command on a channel: to the node, to a name in other case, to a busy and an idle alias.
    QByteArray unknown, unknownOut, idleIn, idleOut, busy = "pmc01.ax3>zerlint0 _ChangedIsBusy 1\n";
    QByteArray busyOut = "zerlint0.gap>System _ChangedIsBusy 1\n";
    for (const QByteArray word : {"StopEmergency", "Stop", "Remote", "SetValue", "SetValueREL", "GetValue",
                                  "SpeedHigh", "SpeedMiddle", "SpeedLow"}) {
        const QByteArray passed = "pmc01.ax3 " + word + "\npmc02 " + word + "\n", reply = "zerlint0.gap>c7 @" + word;
        unknown += "c7>zerlint0 " + word + " gap 1\nc7>zerlint0.Gap " + word + " 1\n";
        unknownOut += "zerlint0>c7 @" + word + " Er:Channel is not selected\n"
                      "zerlint0.Gap>c7 @" + word + " Er:Channel [Gap] is not defined\n";
        busy += "c7>zerlint0.gap " + word + " 1\n";
        busyOut += word.startsWith("Stop") ? passed + reply + " Ok:\n" : reply + " Er:Channel [gap] is busy\n";
        if (!word.contains("Value")) {
            idleIn += "c7>zerlint0.gap " + word + "\n";
            idleOut += passed + reply + " Ok:\n";
        }
    }
    row("channel not selected, not defined", none, unknown, unknownOut);
    row("busy alias", none, busy, busyOut);
    row("idle alias", none, idleIn, idleOut);

    // Each controller covers half of the change, truncated toward zero; a refusal writes nothing.
    const QByteArray unmovable = "zerlint0.gap>c7 @SetValue Er:Channel [gap] cannot be moved\n";
    row("moves of gap", none, idle + c7({"gap SetValue 250", "gap SetValueREL -20", "gap SetValue -251",
        "gap SetValue 4294967245", "gap SetValue 4294967246", "gap SetValue -4294967248"}),
        moved(150, 100) + moved(90, 40, "SetValueREL") + moved(-100, -150) + moved(2147483647, 2147483597)
            + unmovable + unmovable);
    row("factors, offset, zero factor, one proxy twice",
        "ALIAS w m1 m2 2 1 10\nALIAS z m1 m2 0 2 0\nALIAS y m1 m2 1 0 5\n" + x1,
        "pmc01.ax3>zerlint0 @GetValue 10\npmc02>zerlint0 @GetValue 30\n"
            + c7({"w SetValue 60", "w SetValueREL -20", "z SetValueREL -61", "y SetValue 10.9", "x1 SetValue 20"}),
        "pmc01.ax3 SetValue 15\npmc02 SetValue 40\nzerlint0.w>c7 @SetValue Ok:\npmc01.ax3 SetValue 5\n"
        "pmc02 SetValue 20\nzerlint0.w>c7 @SetValueREL Ok:\npmc02 SetValue 0\nzerlint0.z>c7 @SetValueREL Ok:\n"
        "pmc01.ax3 SetValue 15\nzerlint0.y>c7 @SetValue Ok:\npmc01.ax3 SetValue 20\nzerlint0.x1>c7 @SetValue Ok:\n");
    // gap: a controller value not known, an error text, then known; n: both factors 0; h: an infinite value.
    row("value not known, not given, not a number, not movable", "ALIAS n m1 m2 abc 0 0\nALIAS h m1 m2 1e308 1 0\n",
        "pmc01.ax3>zerlint0 @GetValue 100\nc7>zerlint0.gap SetValue 1\npmc02>zerlint0 @GetValue 50\n"
        "pmc01.ax3>zerlint0 @GetValue Er:timeout\nc7>zerlint0.gap SetValueREL 1\npmc01.ax3>zerlint0 @GetValue 100\n"
            + c7({"gap SetValue", "gap SetValueREL", "gap SetValue 12abc", "gap SetValueREL nan", "gap SetValue 1e999",
                  "n SetValue 1", "h SetValueREL 1", "gap SetValue 250"}),
        unmovable + "zerlint0.gap>c7 @SetValueREL Er:Channel [gap] cannot be moved\n"
            "zerlint0.gap>c7 @SetValue Er:Value is not given\nzerlint0.gap>c7 @SetValueREL Er:Value is not given\n"
            "zerlint0.gap>c7 @SetValue Er:Value [12abc] is not a number\n"
            "zerlint0.gap>c7 @SetValueREL Er:Value [nan] is not a number\n"
            "zerlint0.gap>c7 @SetValue Er:Value [1e999] is not a number\n"
            "zerlint0.n>c7 @SetValue Er:Channel [n] cannot be moved\n"
            "zerlint0.h>c7 @SetValueREL Er:Channel [h] cannot be moved\n" + moved(150, 100));

    // Six significant digits in answers and events; moves start from the full values; one event per controller event.
    row("number format, value events", "ALIAS milli m1 m2 0.001 0.001 0\n" + x1,
        "pmc02>zerlint0 @GetValue 3\nc7>zerlint0.gap GetValue\npmc01.ax3>zerlint0 @GetValue 1234567\n"
        "c7>zerlint0.gap SetValueREL 0\npmc01.ax3>zerlint0 _ChangedValue 2\npmc01.ax3>zerlint0 _ChangedValue 2\n"
        "pmc01.ax3>zerlint0 _ChangedValue 0.02\npmc02>zerlint0 _ChangedValue 0.03\n",
        "pmc01.ax3 GetValue\npmc02 GetValue\nzerlint0.gap>c7 @GetValue 1.23457e+06\n" + moved(1234567, 3, "SetValueREL")
            + "zerlint0.gap>System _ChangedValue 5\nzerlint0.milli>System _ChangedValue 0.005\n"
              "zerlint0.x1>System _ChangedValue 2\nzerlint0.gap>System _ChangedValue 5\n"
              "zerlint0.milli>System _ChangedValue 0.005\nzerlint0.x1>System _ChangedValue 2\n"
              "zerlint0.gap>System _ChangedValue 3.02\nzerlint0.milli>System _ChangedValue 0.00302\n"
              "zerlint0.x1>System _ChangedValue 0.02\nzerlint0.gap>System _ChangedValue 0.05\n"
              "zerlint0.milli>System _ChangedValue 5e-05\n");
    // Each request answered once, from its own receiver, at the next value reply.
    const QByteArray asked = "pmc01.ax3 GetValue\npmc02 GetValue\n";
    row("every GetValue answered once", none,
        idle + "c7>zerlint0.gap GetValue\nc8>zerlint0.gap Stop\nc9.ui>other.gap GetValue\n"
        "pmc02>zerlint0 @GetValue 60\nc10>zerlint0.gap GetValue\npmc01.ax3>zerlint0 @GetValue 101\n",
        asked + "pmc01.ax3 Stop\npmc02 Stop\nzerlint0.gap>c8 @Stop Ok:\n" + asked
            + "zerlint0.gap>c7 @GetValue 160\nother.gap>c9.ui @GetValue 160\n" + asked
            + "zerlint0.gap>c10 @GetValue 161\n");
    // Controllers that do not answer: 64 requests wait, the next is refused and writes nothing.
    QByteArray waiting, waitingOut, answers;
    for (int i = 0; i < 65; ++i) {
        const QByteArray asker = "c" + QByteArray::number(i);
        waiting += asker + ">zerlint0.gap GetValue\n";
        waitingOut += i < 64 ? asked : "zerlint0.gap>" + asker + " @GetValue Er:Channel [gap] has 64 GetValue requests "
                                                                 "waiting\n";
        answers += i < 64 ? "zerlint0.gap>" + asker + " @GetValue 60\n" : "";
    }
    row("GetValue requests waiting, bounded", none,
        waiting + "pmc01.ax3>zerlint0 @GetValue 10\npmc02>zerlint0 @GetValue 50\n", waitingOut + answers);
    // Proxies of one address take its lines in the order of their definitions.
    row("two proxies of one address", "PM m3 pmc02\nALIAS solo m3 m3 1 0 0\n",
        "pmc02>zerlint0 _ChangedValue 7\npmc02>zerlint0 _ChangedIsBusy 1\n",
        "zerlint0.gap>System _ChangedValue 7\nzerlint0.solo>System _ChangedValue 7\n"
        "zerlint0.gap>System _ChangedIsBusy 1\nzerlint0.solo>System _ChangedIsBusy 1\n");
    // No answer while busy; once idle, with the value of that moment, and only once.
    row("shared controller, answered once idle", x1,
        idle + "c7>zerlint0.gap GetValue\nc8>zerlint0.x1 GetValue\npmc02>zerlint0 _ChangedIsBusy 1\n"
        "pmc01.ax3>zerlint0 @GetValue 110\npmc02>zerlint0 _ChangedIsBusy 0\npmc02>zerlint0 @GetValue 60\n",
        asked + "pmc01.ax3 GetValue\npmc01.ax3 GetValue\nzerlint0.gap>System _ChangedIsBusy 1\n"
        "zerlint0.x1>c8 @GetValue 110\nzerlint0.gap>System _ChangedIsBusy 0\nzerlint0.gap>c7 @GetValue 160\n");
    // No value is made up: a controller that answers without a number is named; one not heard from is waited for.
    QByteArray noNumber, noNumberOut;
    for (const QByteArray text : {"Er: Undefined Command", "busy", "", "1e400"}) {
        noNumber += "c7>zerlint0.gap GetValue\npmc01.ax3>zerlint0 @GetValue " + text + "\n";
        noNumberOut += asked + "zerlint0.gap>c7 @GetValue Er:Controller pmc01.ax3 gave no value [" + text + "]\n";
    }
    row("controller values that are no numbers", none, "pmc02>zerlint0 @GetValue 50\n" + noNumber
        + "c8>zerlint0.gap GetValue\npmc02>zerlint0 @GetValue 51\npmc01.ax3>zerlint0 @GetValue 7\n",
        noNumberOut + asked + "zerlint0.gap>c8 @GetValue 58\n");

    // Travel limits refuse a move before anything is written, checked on the pulses each controller
    // is sent; one controller under both factors gets one target; a controller's refusal reaches the log.
    const auto out = [](const char *alias, const char *word, const char *value) {
        return "zerlint0." + QByteArray(alias) + ">c7 @" + word + " Er:Value [" + value + "] is out of range\n";
    };
    row("controller limits, both sides, bounds included, truncated pulses",
        "PM_LIMITS m1 0 150\nPM_LIMITS m2 -100 100\nALIAS solo m2 m2 1 0 0\n",
        idle + c7({"gap SetValue 250", "gap SetValue 251", "gap SetValue 252", "gap SetValue -50", "gap SetValue -51",
                   "gap SetValue -52", "solo SetValue 101", "solo SetValue -100", "solo SetValueREL -151"}),
        moved(150, 100) + moved(150, 100) + out("gap", "SetValue", "252") + moved(0, -50) + moved(0, -50)
            + out("gap", "SetValue", "-52") + out("solo", "SetValue", "101")
            + "pmc02 SetValue -100\nzerlint0.solo>c7 @SetValue Ok:\n" + out("solo", "SetValueREL", "-151"),
        {"ALIAS gap : The target 151 is outside the limits 0..150 of pmc01.ax3, not moved",
         "ALIAS gap : The target -1 is outside the limits 0..150 of pmc01.ax3, not moved",
         "ALIAS solo : The target 101 is outside the limits -100..100 of pmc02, not moved"});
    row("the second controller alone beyond its limits", "PM m3 pmc03\nPM_LIMITS m3 0 10\nALIAS second m1 m3 1 1 0\n",
        idle + "pmc03>zerlint0 @GetValue 5\n" + c7({"second SetValue 150", "second SetValue 115"}),
        out("second", "SetValue", "150") + "pmc01.ax3 SetValue 105\npmc03 SetValue 10\n"
            "zerlint0.second>c7 @SetValue Ok:\n",
        {"ALIAS second : The target 27 is outside the limits 0..10 of pmc03, not moved"});
    row("alias limits, both directions", "ALIAS_LIMITS gap 100 200\n",
        idle + c7({"gap SetValue 200", "gap SetValue 200.5", "gap SetValueREL -51", "gap SetValue 100"}),
        moved(125, 75) + out("gap", "SetValue", "200.5") + out("gap", "SetValueREL", "-51") + moved(75, 25),
        {"ALIAS gap : The target 99 is outside the limits 100..200 of gap, not moved"});
    row("bad limits lines ignored, a later line holds", "PM_LIMITS m9 0 1\nPM_LIMITS m1 x 1\nPM_LIMITS m1 5 1\n"
        "ALIAS_LIMITS Gap 0 1\nALIAS_LIMITS gap 0 inf\nPM_LIMITS m2 0 1\nPM_LIMITS m2 0 100\n",
        idle + c7({"gap SetValue 250"}), moved(150, 100),
        {"PM_LIMITS : The ID m9 is not defined. Ignored. [ m9 0 1]",
         "PM_LIMITS : The limits of m1 are not numbers. Ignored. [ m1 x 1]",
         "PM_LIMITS : The low limit of m1 is above the high one. Ignored. [ m1 5 1]",
         "ALIAS_LIMITS : The CH Gap is not defined. Ignored. [ Gap 0 1]",
         "ALIAS_LIMITS : The limits of gap are not numbers. Ignored. [ gap 0 inf]",
         "PM_LIMITS : The limits of m2 are given again; these hold. [ m2 0 100]"});
    row("one controller, one target, one command", "ALIAS eq m1 m1 1 1 0\nALIAS uneq m1 m1 1 2 0\n"
        "ALIAS opp m1 m1 1 -1 0\nPM m4 pmc01 ax3\nALIAS pair m1 m4 1 1 0\n",
        idle + c7({"eq SetValue 300", "uneq SetValue 600", "opp SetValue 10", "pair SetValue 300"}),
        "pmc01.ax3 SetValue 150\nzerlint0.eq>c7 @SetValue Ok:\npmc01.ax3 SetValue 200\nzerlint0.uneq>c7 @SetValue Ok:\n"
        "zerlint0.opp>c7 @SetValue Er:Channel [opp] cannot be moved\npmc01.ax3 SetValue 150\n"
        "zerlint0.pair>c7 @SetValue Ok:\n");
    row("controller refusals logged", none,
        "pmc01.ax3>zerlint0 @SetValue Er: Target 21000 is outside the limits\npmc02>zerlint0 @SpeedLow Er: Busy\n"
        "other>zerlint0 @Stop Er: Not ours\npmc02>zerlint0 @Remote Ok:\n", {},
        {"Controller pmc01.ax3 refused SetValue: Er: Target 21000 is outside the limits",
         "Controller pmc02 refused SpeedLow: Er: Busy", "!Not ours", "!Remote"});
}

QTEST_MAIN(tst_node)
#include "tst_node.moc"
