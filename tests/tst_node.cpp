#include <QTest>

#include <utility>

#include "fakebus.h"

// The real node against a fake bus: every line it writes, exactly and in order.

namespace {

const QByteArray gapDefs = "PM m1 pmc01 ax3\nPM m2 pmc02\nALIAS gap m1 m2 1 1 0\n";
const QByteArrayList idle = {"100", "50"};

QByteArrayList linesOf(const QByteArray &text)
{
    QByteArrayList lines = text.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// One node: started with its definitions, logged in, its priming GetValues answered.
class Node
{
public:
    FakeBus bus;
    NodeProcess proc;
    QByteArray login;
    QByteArrayList priming;   // what the node wrote right after the login

    // values answer the priming GetValues in order, as far as they go.
    bool start(const QByteArray &defs, const QByteArrayList &values)
    {
        proc.writeFile("zerlint0.key", "k0 k1 k2\n");
        proc.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT "
                                         + QByteArray::number(bus.port()) + "\n" + defs);
        if (!proc.start())
            return false;
        login = bus.login(7);
        if (login.isEmpty())
            return false;
        // Lines that come with the server's answer are dropped: probe until one is served.
        bool served = false;
        for (int i = 0; i < 50 && !served; ++i) {
            bus.send("probe>zerlint0 IsBusy\n");
            served = bus.waitFor("zerlint0>probe @IsBusy 0", 100);
            priming += bus.skipped;
        }
        QByteArrayList late = exchange("");
        late.removeAll("zerlint0>probe @IsBusy 0");
        priming += late;

        QByteArray answers;
        qsizetype next = 0;
        for (const QByteArray &line : std::as_const(priming)) {
            if (line.endsWith(" GetValue") && next < values.size())
                answers += line.chopped(9) + ">zerlint0 @GetValue " + values.at(next++) + "\n";
        }
        const QByteArrayList answered = exchange(answers);
        if (!answered.isEmpty())
            qWarning() << "priming answers drew" << answered;
        return served && answered.isEmpty();
    }

    // Sends the lines and returns what the node wrote for them: everything up to the
    // answer of a closing IsBusy, which the node handles only after them.
    QByteArrayList exchange(const QByteArray &input)
    {
        bus.send(input + "sync>zerlint0 IsBusy\n");
        if (!bus.waitFor("zerlint0>sync @IsBusy 0"))
            return bus.skipped << "(no answer to the closing IsBusy)";
        return bus.skipped;
    }
};

} // namespace

class tst_node : public QObject
{
    Q_OBJECT

private slots:
    void priming();
    void withoutDefinitions();
    void definitionDiagnostics();
    void traffic_data();
    void traffic();
};

void tst_node::priming()
{
    Node node;
    QVERIFY(node.start("PM m1 pmc01 ax3\nPM m2 pmc02\nPM m3 pmc03 ax1\n", {}));
    QCOMPARE(node.login, QByteArray("zerlint0 k1"));
    QCOMPARE(node.priming, linesOf("System flgon pmc01\n"
                                   "System flgon pmc01.ax3\n"
                                   "System flgon pmc02\n"
                                   "System flgon pmc02\n"
                                   "System flgon pmc03\n"
                                   "System flgon pmc03.ax1\n"
                                   "pmc01.ax3 GetValue\n"
                                   "pmc02 GetValue\n"
                                   "pmc03.ax1 GetValue\n"));
    node.bus.node()->close();
    QCOMPARE(node.proc.waitForExit(), 0);
}

void tst_node::withoutDefinitions()
{
    Node node;
    QVERIFY(node.start("", {}));
    QVERIFY(node.priming.isEmpty());
    QCOMPARE(node.exchange("c7>zerlint0 GetChs\n"
                           "c7>zerlint0.gap GetChs\n"
                           "c7>zerlint0.gap IsBusy\n"
                           "c7>zerlint0.gap GetValue\n"),
             linesOf("zerlint0>c7 @GetChs \n"
                     "zerlint0.gap>c7 @GetChs Er:The ch [gap] is not defined\n"
                     "zerlint0.gap>c7 @IsBusy Er:Channel [gap] is not defined\n"
                     "zerlint0.gap>c7 @GetValue Er:Channel [gap] is not defined\n"));
}

void tst_node::definitionDiagnostics()
{
    Node node;
    QVERIFY(node.start("PM m1 pmc01 ax3\n"
                       "PM m2 pmc02\n"
                       "PM m1 pmc03 ax1\n"
                       "ALIAS early m1 m9 1 1 0\n"
                       "ALIAS gap m1 m2 1 1 0\n"
                       "ALIAS gap m2 m1 2 2 0\n"
                       "ALIAS Gap m2 m1 2 2 0\n"
                       "ALIAS bad1 mX m2 1 1 0\n"
                       "ALIAS bad2 m1 mY 1 1 0\n"
                       "ALIAS bad3 mX mY 1 1 0\n"
                       "ALIAS bad4 M1 m2 1 1 0\n"
                       "ALIAS \"my gap\" m1 m2 1 1 0\n"
                       "ALIAS \"my gap\" m1 m2 1 1 0\n"
                       "pm m5 pmc05\n"
                       "Alias low m1 m2 1 1 0\n"
                       "PM m9 pmc09\n",
                       {}));
    const QByteArray last = "[ \\\"my gap\\\" m1 m2 1 1 0]\"";
    QVERIFY(node.proc.waitForLog(last));
    QByteArrayList diagnostics;
    for (const QByteArray &line : node.proc.log().split('\n')) {
        if (line.startsWith("def ") || line.startsWith('"'))
            diagnostics << line;
    }
    QCOMPARE(diagnostics, linesOf(
        "def PM :  \"m1\" \"pmc01\" \"ax3\"\n"
        "def PM :  \"m2\" \"pmc02\" \"\"\n"
        "def PM :  \"m1\" \"pmc03\" \"ax1\"\n"
        "\"PM : The ID m1 is already used. [ m1 pmc03 ax1]\"\n"
        "def PM :  \"m9\" \"pmc09\" \"\"\n"
        "def ALIAS :  \"early\" \"m1\" \"m9\" \"1\" \"1\" \"0\"\n"
        "def ALIAS :  \"gap\" \"m1\" \"m2\" \"1\" \"1\" \"0\"\n"
        "def ALIAS :  \"gap\" \"m2\" \"m1\" \"2\" \"2\" \"0\"\n"
        "\"ALIAS : The CH gap is already defined. [ gap m2 m1 2 2 0]\"\n"
        "def ALIAS :  \"Gap\" \"m2\" \"m1\" \"2\" \"2\" \"0\"\n"
        "def ALIAS :  \"bad1\" \"mX\" \"m2\" \"1\" \"1\" \"0\"\n"
        "\"One of the Chs mX and/or m2 is not defined. [ bad1 mX m2 1 1 0]\"\n"
        "def ALIAS :  \"bad2\" \"m1\" \"mY\" \"1\" \"1\" \"0\"\n"
        "\"One of the Chs m1 and/or mY is not defined. [ bad2 m1 mY 1 1 0]\"\n"
        "def ALIAS :  \"bad3\" \"mX\" \"mY\" \"1\" \"1\" \"0\"\n"
        "\"One of the Chs mX and/or mY is not defined. [ bad3 mX mY 1 1 0]\"\n"
        "def ALIAS :  \"bad4\" \"M1\" \"m2\" \"1\" \"1\" \"0\"\n"
        "\"One of the Chs M1 and/or m2 is not defined. [ bad4 M1 m2 1 1 0]\"\n"
        "def ALIAS :  \"my gap\" \"m1\" \"m2\" \"1\" \"1\" \"0\"\n"
        "def ALIAS :  \"my gap\" \"m1\" \"m2\" \"1\" \"1\" \"0\"\n"
        "\"ALIAS : The CH my gap is already defined. [ \\\"my gap\\\" m1 m2 1 1 0]\"\n"));

    // The repeated id made no proxy; the first definitions stay in force.
    QCOMPARE(node.priming, linesOf("System flgon pmc01\nSystem flgon pmc01.ax3\n"
                                   "System flgon pmc02\nSystem flgon pmc02\n"
                                   "System flgon pmc09\nSystem flgon pmc09\n"
                                   "pmc01.ax3 GetValue\npmc02 GetValue\npmc09 GetValue\n"));
    QCOMPARE(node.exchange("c7>zerlint0 GetChs\n"
                           "c7>zerlint0.gap GetChInfo\n"
                           "c7>zerlint0.Gap GetChInfo\n"
                           "c7>zerlint0.early GetChInfo\n"),
             linesOf("zerlint0>c7 @GetChs early gap Gap my gap\n"
                     "zerlint0.gap>c7 @GetChInfo pmc01.ax3 pmc02 1 1 0\n"
                     "zerlint0.Gap>c7 @GetChInfo pmc02 pmc01.ax3 2 2 0\n"
                     "zerlint0.early>c7 @GetChInfo pmc01.ax3 pmc09 1 1 0\n"));
}

// Each row: definitions beside gap (pmc01.ax3 + pmc02, factors 1 1, offset 0), the values
// the controllers report at login, the lines the bus sends, the lines the node writes.
void tst_node::traffic_data()
{
    QTest::addColumn<QByteArray>("defs");
    QTest::addColumn<QByteArrayList>("values");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");

    const QByteArray x1 = "ALIAS x1 m1 m1 0.5 0.5 0\n";

    QTest::newRow("help") << QByteArray() << idle
        << QByteArray("c7>zerlint0 Help\n"
                      "c7>zerlint0 Help GetValue\n"
                      "c7>zerlint0 Help @Stop\n"
                      "c7>zerlint0 Help help\n"
                      "c7>zerlint0 Help GetValue SetValue\n"
                      "c7>zerlint0.gap Help\n"
                      "c7>zerlint0.ch1 Help GetValue\n")
        << QByteArray("zerlint0>c7 @Help Help GetChs GetChInfo IsBusy StopEmergency Stop Remote "
                      "SetValue SetValueREL GetValue SpeedHigh SpeedMiddle SpeedLow\n"
                      "zerlint0>c7 @Help Get a value of selected channel\n"
                      "zerlint0>c7 @Help Not a command\n"
                      "zerlint0>c7 @Help Er:The command help is not\n"
                      "zerlint0>c7 @Help Er:The command GetValue SetValue is not\n"
                      "zerlint0.gap>c7 @Help Er:No help info for the ch gap.\n"
                      "zerlint0.ch1>c7 @Help Er:No help info for the ch ch1.\n");

    QTest::newRow("GetChs") << x1 << idle
        << QByteArray("c7>zerlint0 GetChs\n"
                      "c7>zerlint0.x1 GetChs\n"
                      "c7>zerlint0.X1 GetChs\n")
        << QByteArray("zerlint0>c7 @GetChs gap x1\n"
                      "zerlint0.x1>c7 @GetChs x1\n"
                      "zerlint0.X1>c7 @GetChs Er:The ch [X1] is not defined\n");

    QTest::newRow("GetChInfo") << x1 << idle
        << QByteArray("c7>zerlint0 GetChInfo\n"
                      "c7>zerlint0.X1 GetChInfo\n"
                      "c7>zerlint0.gap GetChInfo\n"
                      "c7>zerlint0.x1 GetChInfo\n")
        << QByteArray("zerlint0>c7 @GetChInfo Er: a Ch is not selected\n"
                      "zerlint0.X1>c7 @GetChInfo Er:Channel [X1] is not defined\n"
                      "zerlint0.gap>c7 @GetChInfo pmc01.ax3 pmc02 1 1 0\n"
                      "zerlint0.x1>c7 @GetChInfo pmc01.ax3 pmc01.ax3 0.5 0.5 0\n");

    QTest::newRow("IsBusy") << QByteArray() << idle
        << QByteArray("c7>zerlint0 IsBusy\n"
                      "c7>zerlint0.gap IsBusy\n"
                      "c7>zerlint0.Gap IsBusy\n"
                      "pmc02>zerlint0 _ChangedIsBusy 1\n"
                      "c7>zerlint0.gap IsBusy\n"
                      "c7>zerlint0 IsBusy\n"
                      "pmc02>zerlint0 _ChangedIsBusy 0\n"
                      "c7>zerlint0.gap IsBusy\n")
        << QByteArray("zerlint0>c7 @IsBusy 0\n"
                      "zerlint0.gap>c7 @IsBusy 0\n"
                      "zerlint0.Gap>c7 @IsBusy Er:Channel [Gap] is not defined\n"
                      "zerlint0.gap>System _ChangedIsBusy 1\n"
                      "zerlint0.gap>c7 @IsBusy 1\n"
                      "zerlint0>c7 @IsBusy 0\n"
                      "zerlint0.gap>System _ChangedIsBusy 0\n"
                      "zerlint0.gap>c7 @IsBusy 0\n");

    // Every command on a channel, addressed to the node itself and to a name in other case.
    QByteArray toNode, toNodeOut, wrongCase, wrongCaseOut;
    const QByteArrayList onChannel = {"StopEmergency", "Stop", "Remote", "SetValue", "SetValueREL",
                                      "GetValue", "SpeedHigh", "SpeedMiddle", "SpeedLow"};
    for (const QByteArray &word : onChannel) {
        toNode += "c7>zerlint0 " + word + " gap 1\n";
        toNodeOut += "zerlint0>c7 @" + word + " Er:Channel is not selected\n";
        wrongCase += "c7>zerlint0.Gap " + word + " 1\n";
        wrongCaseOut += "zerlint0.Gap>c7 @" + word + " Er:Channel [Gap] is not defined\n";
    }
    QTest::newRow("channel not selected") << QByteArray() << idle << toNode << toNodeOut;
    QTest::newRow("channel not defined, letter case") << QByteArray() << idle << wrongCase
                                                      << wrongCaseOut;

    QTest::newRow("busy alias refuses all but the stops") << QByteArray() << idle
        << QByteArray("pmc01.ax3>zerlint0 _ChangedIsBusy 1\n"
                      "c7>zerlint0.gap Remote\nc7>zerlint0.gap GetValue\n"
                      "c7>zerlint0.gap SetValue 1\nc7>zerlint0.gap SetValueREL 1\n"
                      "c7>zerlint0.gap SetValue\nc7>zerlint0.gap SpeedHigh\n"
                      "c7>zerlint0.gap SpeedMiddle\nc7>zerlint0.gap SpeedLow\n"
                      "c7>zerlint0.gap Stop\nc7>zerlint0.gap StopEmergency\n")
        << QByteArray("zerlint0.gap>System _ChangedIsBusy 1\n"
                      "zerlint0.gap>c7 @Remote Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @GetValue Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SetValue Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SetValue Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SpeedHigh Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SpeedMiddle Er:Channel [gap] is busy\n"
                      "zerlint0.gap>c7 @SpeedLow Er:Channel [gap] is busy\n"
                      "pmc01.ax3 Stop\npmc02 Stop\nzerlint0.gap>c7 @Stop Ok:\n"
                      "pmc01.ax3 StopEmergency\npmc02 StopEmergency\n"
                      "zerlint0.gap>c7 @StopEmergency Ok:\n");

    QByteArray passed, passedOut;
    const QByteArrayList passedOn = {"Remote", "Stop", "StopEmergency", "SpeedHigh", "SpeedMiddle",
                                     "SpeedLow"};
    for (const QByteArray &word : passedOn) {
        passed += "c7.ui>zerlint0.gap " + word + "\n";
        passedOut += "pmc01.ax3 " + word + "\npmc02 " + word + "\nzerlint0.gap>c7.ui @" + word
                     + " Ok:\n";
    }
    QTest::newRow("idle alias passes commands to both") << QByteArray() << idle << passed
                                                        << passedOut;

    // Moves: each controller covers half of the change, targets truncated toward zero.
    QTest::newRow("absolute and relative split") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap SetValue 250\nc7>zerlint0.gap SetValueREL -20\n")
        << QByteArray("pmc01.ax3 SetValue 150\npmc02 SetValue 100\nzerlint0.gap>c7 @SetValue Ok:\n"
                      "pmc01.ax3 SetValue 90\npmc02 SetValue 40\n"
                      "zerlint0.gap>c7 @SetValueREL Ok:\n");

    QTest::newRow("factors and offset") << QByteArray("ALIAS w m1 m2 2 1 10\n")
        << QByteArrayList{"10", "30"}
        << QByteArray("c7>zerlint0.w SetValue 60\nc7>zerlint0.w SetValueREL -20\n")
        << QByteArray("pmc01.ax3 SetValue 15\npmc02 SetValue 40\nzerlint0.w>c7 @SetValue Ok:\n"
                      "pmc01.ax3 SetValue 5\npmc02 SetValue 20\nzerlint0.w>c7 @SetValueREL Ok:\n");

    QTest::newRow("one proxy twice") << x1 << QByteArrayList{"1000", "50"}
        << QByteArray("c7>zerlint0.x1 SetValue 1100\n")
        << QByteArray("pmc01.ax3 SetValue 1100\npmc01.ax3 SetValue 1100\n"
                      "zerlint0.x1>c7 @SetValue Ok:\n");

    QTest::newRow("truncation toward zero") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap SetValue 151\nc7>zerlint0.gap SetValue -251\n"
                      "c7>zerlint0.gap SetValueREL 0.9\n")
        << QByteArray("pmc01.ax3 SetValue 100\npmc02 SetValue 50\nzerlint0.gap>c7 @SetValue Ok:\n"
                      "pmc01.ax3 SetValue -100\npmc02 SetValue -150\n"
                      "zerlint0.gap>c7 @SetValue Ok:\n"
                      "pmc01.ax3 SetValue 100\npmc02 SetValue 50\n"
                      "zerlint0.gap>c7 @SetValueREL Ok:\n");

    QTest::newRow("first factor zero: second covers all") << QByteArray("ALIAS z m1 m2 0 2 0\n")
        << idle
        << QByteArray("c7>zerlint0.z SetValue 200\nc7>zerlint0.z SetValueREL -101\n")
        << QByteArray("pmc02 SetValue 100\nzerlint0.z>c7 @SetValue Ok:\n"
                      "pmc02 SetValue 0\nzerlint0.z>c7 @SetValueREL Ok:\n");

    QTest::newRow("second factor zero: first covers all") << QByteArray("ALIAS y m1 m2 1 0 5\n")
        << idle
        << QByteArray("c7>zerlint0.y SetValue 100.9\nc7>zerlint0.y SetValueREL -300\n")
        << QByteArray("pmc01.ax3 SetValue 105\nzerlint0.y>c7 @SetValue Ok:\n"
                      "pmc01.ax3 SetValue -200\nzerlint0.y>c7 @SetValueREL Ok:\n");

    QTest::newRow("targets at the 32-bit limits") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap SetValue 4294967245\n"
                      "c7>zerlint0.gap SetValue 4294967246\n"
                      "c7>zerlint0.gap SetValue -4294967246\n"
                      "c7>zerlint0.gap SetValue -4294967248\n"
                      "c7>zerlint0.gap SetValueREL 5e9\n")
        << QByteArray("pmc01.ax3 SetValue 2147483647\npmc02 SetValue 2147483597\n"
                      "zerlint0.gap>c7 @SetValue Ok:\n"
                      "zerlint0.gap>c7 @SetValue Er:Channel [gap] cannot be moved\n"
                      "pmc01.ax3 SetValue -2147483598\npmc02 SetValue -2147483648\n"
                      "zerlint0.gap>c7 @SetValue Ok:\n"
                      "zerlint0.gap>c7 @SetValue Er:Channel [gap] cannot be moved\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Channel [gap] cannot be moved\n");

    // Refused moves write nothing to either controller.
    QTest::newRow("value not given") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap SetValue\nc7>zerlint0.gap SetValueREL\n")
        << QByteArray("zerlint0.gap>c7 @SetValue Er:Value is not given\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Value is not given\n");

    QTest::newRow("value not a number") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap SetValue abc\nc7>zerlint0.gap SetValueREL 12abc\n"
                      "c7>zerlint0.gap SetValue nan\nc7>zerlint0.gap SetValue -inf\n"
                      "c7>zerlint0.gap SetValueREL 1e999\n")
        << QByteArray("zerlint0.gap>c7 @SetValue Er:Value [abc] is not a number\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Value [12abc] is not a number\n"
                      "zerlint0.gap>c7 @SetValue Er:Value [nan] is not a number\n"
                      "zerlint0.gap>c7 @SetValue Er:Value [-inf] is not a number\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Value [1e999] is not a number\n");

    QTest::newRow("no controller value yet") << QByteArray() << QByteArrayList()
        << QByteArray("c7>zerlint0.gap SetValue 1\n"
                      "pmc01.ax3>zerlint0 @GetValue 100\n"
                      "c7>zerlint0.gap SetValueREL 1\n"
                      "pmc02>zerlint0 @GetValue 50\n"
                      "c7>zerlint0.gap SetValue 250\n")
        << QByteArray("zerlint0.gap>c7 @SetValue Er:Channel [gap] cannot be moved\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Channel [gap] cannot be moved\n"
                      "pmc01.ax3 SetValue 150\npmc02 SetValue 100\n"
                      "zerlint0.gap>c7 @SetValue Ok:\n");

    QTest::newRow("controller value an error text") << QByteArray()
        << QByteArrayList{"100", "Er:timeout"}
        << QByteArray("c7>zerlint0.gap SetValue 1\nc7>zerlint0.gap SetValueREL 1\n")
        << QByteArray("zerlint0.gap>c7 @SetValue Er:Channel [gap] cannot be moved\n"
                      "zerlint0.gap>c7 @SetValueREL Er:Channel [gap] cannot be moved\n");

    QTest::newRow("both factors zero") << QByteArray("ALIAS n m1 m2 abc 0 0\n") << idle
        << QByteArray("c7>zerlint0.n SetValue 1\nc7>zerlint0.n SetValueREL 1\n")
        << QByteArray("zerlint0.n>c7 @SetValue Er:Channel [n] cannot be moved\n"
                      "zerlint0.n>c7 @SetValueREL Er:Channel [n] cannot be moved\n");

    // t: the first target overflows to infinity; h: the current value is infinite, so the
    // relative target's change is not a number.
    QTest::newRow("target not finite")
        << QByteArray("ALIAS t m1 m2 1e-300 1 0\nALIAS h m1 m2 1e308 1 0\n") << idle
        << QByteArray("c7>zerlint0.t SetValue 1e9\nc7>zerlint0.h SetValue 1\n"
                      "c7>zerlint0.h SetValueREL 1\n")
        << QByteArray("zerlint0.t>c7 @SetValue Er:Channel [t] cannot be moved\n"
                      "zerlint0.h>c7 @SetValue Er:Channel [h] cannot be moved\n"
                      "zerlint0.h>c7 @SetValueREL Er:Channel [h] cannot be moved\n");

    // GetValue: no reply at once; each request answered once when the alias has its value.
    QTest::newRow("GetValue answered with six digits") << QByteArray()
        << QByteArrayList{"1000", "567"}
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "pmc01.ax3>zerlint0 @GetValue 1234000\n"
                      "pmc02>zerlint0 @GetValue 567\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.gap>c7 @GetValue 1.23457e+06\n");

    QTest::newRow("small values") << QByteArray("ALIAS milli m1 m2 0.001 0.001 0\n")
        << QByteArrayList{"2", "7"}
        << QByteArray("c7>zerlint0.milli GetValue\n"
                      "pmc02>zerlint0 @GetValue 3\n"
                      "pmc01.ax3>zerlint0 _ChangedValue 0.02\n"
                      "pmc02>zerlint0 _ChangedValue 0.03\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.milli>c7 @GetValue 0.005\n"
                      "zerlint0.gap>System _ChangedValue 3.02\n"
                      "zerlint0.milli>System _ChangedValue 0.00302\n"
                      "zerlint0.gap>System _ChangedValue 0.05\n"
                      "zerlint0.milli>System _ChangedValue 5e-05\n");

    QTest::newRow("Stop between GetValue and its reply") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "c8>zerlint0.gap Stop\n"
                      "pmc02>zerlint0 @GetValue 60\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "pmc01.ax3 Stop\npmc02 Stop\nzerlint0.gap>c8 @Stop Ok:\n"
                      "zerlint0.gap>c7 @GetValue 160\n");

    QTest::newRow("two clients pending, each answered once") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "c8.ui>zerlint0.gap GetValue\n"
                      "pmc01.ax3>zerlint0 @GetValue 101\n"
                      "pmc02>zerlint0 @GetValue 50\n"
                      "c9>zerlint0.gap GetValue\n"
                      "pmc02>zerlint0 @GetValue 52\n"
                      "pmc01.ax3>zerlint0 @GetValue 101\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.gap>c7 @GetValue 151\n"
                      "zerlint0.gap>c8.ui @GetValue 151\n"
                      "pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.gap>c9 @GetValue 153\n");

    QTest::newRow("each answer from its own receiver") << QByteArray() << idle
        << QByteArray("c7>other.gap GetValue\n"
                      "c8>zerlint0.gap GetValue\n"
                      "pmc01.ax3>zerlint0 @GetValue 100\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "other.gap>c7 @GetValue 150\n"
                      "zerlint0.gap>c8 @GetValue 150\n");

    QTest::newRow("aliases sharing a controller") << x1 << idle
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "c8>zerlint0.x1 GetValue\n"
                      "pmc01.ax3>zerlint0 @GetValue 200\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "pmc01.ax3 GetValue\npmc01.ax3 GetValue\n"
                      "zerlint0.gap>c7 @GetValue 250\n"
                      "zerlint0.x1>c8 @GetValue 200\n");

    QTest::newRow("no answer while a controller is busy") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "pmc02>zerlint0 _ChangedIsBusy 1\n"
                      "pmc01.ax3>zerlint0 @GetValue 110\n"
                      "pmc02>zerlint0 _ChangedIsBusy 0\n"
                      "pmc02>zerlint0 @GetValue 60\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.gap>System _ChangedIsBusy 1\n"
                      "zerlint0.gap>System _ChangedIsBusy 0\n"
                      "zerlint0.gap>c7 @GetValue 170\n");

    QTest::newRow("proxy takes only its own address") << QByteArray() << idle
        << QByteArray("c7>zerlint0.gap GetValue\n"
                      "PMC01.ax3>zerlint0 @GetValue 9\n"
                      "pmc01.ax3.b>zerlint0 @GetValue 8\n"
                      "pmc01>zerlint0 _ChangedValue 7\n"
                      "pmc01.AX3>zerlint0 _ChangedIsBusy 1\n"
                      "pmc01.ax3>zerlint0 @GetValue 1\n")
        << QByteArray("pmc01.ax3 GetValue\npmc02 GetValue\n"
                      "zerlint0.gap>c7 @GetValue 51\n");

    // Events under the alias's address.
    QTest::newRow("every value event relayed") << x1 << idle
        << QByteArray("pmc01.ax3>zerlint0 _ChangedValue 120\n"
                      "pmc01.ax3>zerlint0 _ChangedValue 120\n"
                      "pmc02>zerlint0 _ChangedValue 40\n"
                      "pmc01.ax3>zerlint0 @GetValue 130\n")
        << QByteArray("zerlint0.gap>System _ChangedValue 170\n"
                      "zerlint0.x1>System _ChangedValue 120\n"
                      "zerlint0.gap>System _ChangedValue 170\n"
                      "zerlint0.x1>System _ChangedValue 120\n"
                      "zerlint0.gap>System _ChangedValue 160\n");

    QTest::newRow("moves start from full values") << QByteArray() << QByteArrayList{"1000", "567"}
        << QByteArray("pmc01.ax3>zerlint0 _ChangedValue 1234001\n"
                      "c7>zerlint0.gap SetValueREL 0\n")
        << QByteArray("zerlint0.gap>System _ChangedValue 1.23457e+06\n"
                      "pmc01.ax3 SetValue 1234001\npmc02 SetValue 567\n"
                      "zerlint0.gap>c7 @SetValueREL Ok:\n");

    QTest::newRow("busy relay") << x1 << idle
        << QByteArray("pmc01.ax3>zerlint0 _ChangedIsBusy 0\n"
                      "pmc01.ax3>zerlint0 _ChangedIsBusy 1\n"
                      "pmc02>zerlint0 _ChangedIsBusy 1\n"
                      "pmc01.ax3>zerlint0 _ChangedIsBusy 1\n"
                      "pmc01.ax3>zerlint0 _ChangedIsBusy 0\n"
                      "pmc02>zerlint0 _ChangedIsBusy busy\n"
                      "pmc02>zerlint0 _ChangedIsBusy 0\n")
        << QByteArray("zerlint0.gap>System _ChangedIsBusy 1\n"
                      "zerlint0.x1>System _ChangedIsBusy 1\n"
                      "zerlint0.x1>System _ChangedIsBusy 0\n"
                      "zerlint0.gap>System _ChangedIsBusy 0\n");

    QTest::newRow("two proxies on one channel")
        << QByteArray("PM m3 pmc01 ax3\nALIAS dup m3 m2 2 1 0\n") << idle
        << QByteArray("pmc01.ax3>zerlint0 _ChangedValue 10\n")
        << QByteArray("zerlint0.gap>System _ChangedValue 60\n"
                      "zerlint0.dup>System _ChangedValue 70\n");
}

void tst_node::traffic()
{
    QFETCH(QByteArray, defs);
    QFETCH(QByteArrayList, values);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);

    Node node;
    QVERIFY(node.start(gapDefs + defs, values));
    QCOMPARE(node.exchange(input), linesOf(output));
}

QTEST_MAIN(tst_node)
#include "tst_node.moc"
