#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "fakebus.h"

// The node as operators run it: the configuration check, help and version, readiness.
class tst_service : public QObject
{
    Q_OBJECT

private slots:
    // zerlint --check: all it prints, in order, and nothing on the log; its status: whether it found a problem.
    void check_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("printed");
        const auto row = [](const char *name, const QByteArray &config, const QByteArray &printed,
                            const QStringList &args = {}) { QTest::newRow(name) << args << config << printed; };
        const QByteArray head = "configuration config.cfg\n";
        const QByteArray bus = "bus server localhost port 60570, node name zerlint0, key file zerlint0.key (2 keys)\n";
        const auto busWith = [&bus](const char *from, const char *to) { return QByteArray(bus).replace(from, to); };
        row("sound, highest port", "ORVEX_PORT 65535\nPM m1 pmc01 ax1\nPM m2 pmc02 # node only\n"
                                   "ALIAS gap m1 m2 1 -1 0.5\nPM_LIMITS m1 -10 10\nALIAS_LIMITS gap 0 5\n",
            head + "PM m1 : pmc01.ax1, limits -10..10\nPM m2 : pmc02\nALIAS gap = 1 * pmc01.ax1 + -1 * pmc02 - 0.5, "
                   "limits 0..5\n" + busWith("60570", "65535") + "no problems found\n");
        row("unknown keys: nearest at one and two edits, none at three; other case",
            "ORVEX_PROT 6000\nPMLIMIT m1 0 1\nPMLIMT m1 0 1\nPX m1 p\npm m1 pmc01\nAlias a m1 m1 1 1 0\n",
            head + bus
                + "config.cfg:1: ORVEX_PROT : No part of the node reads this key. Did you mean ORVEX_PORT?\n"
                  "config.cfg:2: PMLIMIT : No part of the node reads this key. Did you mean PM_LIMITS?\n"
                  "config.cfg:3: PMLIMT : No part of the node reads this key.\n"
                  "config.cfg:4: PX : No part of the node reads this key. Did you mean PM?\n"
                  "config.cfg:5: pm : No part of the node reads this key: keys are case-sensitive. Did you mean PM?\n"
                  "config.cfg:6: Alias : No part of the node reads this key: keys are case-sensitive. "
                  "Did you mean ALIAS?\n6 problems found\n");
        // The reader and the definitions both report the quote: it shows once.
        row("no node; not numbers; an unclosed quote once",
            "PM m\nALIAS g2 m m 1 inf\nALIAS q m m 1 1 \"0\nPM_LIMITS m lo 5\n",
            head + "PM m : (no address)\nALIAS g2 = 1 * (no address) + inf * (no address) - 0\n"
                   "ALIAS q = 1 * (no address) + 1 * (no address) - 0\n" + bus
                + "config.cfg:1: PM : The ID m names no controller node. [ m]\n"
                  "config.cfg:2: ALIAS : The factor2 of g2 is not a finite number. [ g2 m m 1 inf]\n"
                  "config.cfg:2: ALIAS : The offset of g2 is not a number, so it counts as 0. [ g2 m m 1 inf]\n"
                  "config.cfg:3: In a line [ \"0] item is started from quote but not ended by quote\n"
                  "config.cfg:4: PM_LIMITS : The limits of m are not numbers. Ignored. [ m lo 5]\n5 problems found\n");
        row("by file in reading order: a missing INCLUDE, the definitions' own in an included file",
            "PM m1 p\nINCLUDE more.cfg\nINCLUDE gone.cfg\nPM m3 r\n",
            head + "PM m1 : p\nPM m3 : r\n" + bus + "config.cfg:3: Can't open config file :  gone.cfg\n"
                   "more.cfg:2: PM : The ID m1 is already used. [ m1 q]\n"
                   "more.cfg:3: One of the Chs m1 and/or m9 is not defined. [ a m1 m9 1 1 0]\n3 problems found\n");
        row("configuration file missing", "",
            "configuration nothere.cfg\n" + bus + "Can't open config file :  nothere.cfg\n1 problem found\n",
            {"-c", "nothere.cfg"});
        row("a GetValue time limit out of range", "GETVALUE_TIMEOUT 0\n", head + bus + "config.cfg:1: GETVALUE_TIMEOUT : 0 is "
            "not a number of seconds from 0.01 to 3600; 5 s hold.\n1 problem found\n");
        row("-c in the file names no other", "-c other.cfg\n",
            head + bus + "config.cfg:1: -c : No part of the node reads this key.\n1 problem found\n");
        row("-c naming nothing", "",
            "configuration \n" + bus + "-c : No configuration file is named, so none is read.\n1 problem found\n",
            {"-c"});
        // A start takes the low 16 bits of a number, 0 for anything else.
        for (const auto &[port, taken] : {std::pair{"0", "0"}, {"65536", "0"}, {"port", "0"}, {"-1", "65535"}})
            row(qPrintable(QStringLiteral("port %1").arg(port)), QByteArray("ORVEX_PORT ") + port + '\n',
                head + busWith("60570", taken) + "config.cfg:1: ORVEX_PORT : " + port
                    + " is not a port number from 1 to 65535.\n1 problem found\n");
        // Line 101's quote is reported twice, when the definitions are built and when they are checked: it counts once.
        QByteArray missing, listed;
        for (int line = 1; line <= 100; ++line) {
            missing += "INCLUDE none\n";
            listed += "config.cfg:" + QByteArray::number(line) + ": Can't open config file :  none\n";
        }
        row("101 problems: 100 listed, then their count", missing + "PM m \"0\n",
            head + "PM m : 0\n" + bus + listed + "Problems beyond the first 100 not listed : 1\n101 problems found\n");
        row("key file named in the configuration, missing", "\nKEY_FILE other\n",
            head + busWith("zerlint0.key (2", "other.key (0")
                + "config.cfg:2: Key file other.key (KEY_FILE other and \".key\"): No such file or directory\n"
                  "1 problem found\n");
        row("key file anyone can read", "KEY_FILE open\n", head + busWith("zerlint0.key (2 keys", "open.key (1 key")
            + "config.cfg:1: Key file open.key can be read by anyone: chmod o-r open.key\n1 problem found\n");
        row("node names the bus cannot carry", "NAME_ON_ORVEX \"a b\"\nNAME_ON_ORVEX a>b\nNAME_ON_ORVEX a.b\n"
            "NAME_ON_ORVEX \"\"\n", head + busWith("zerlint0,", ",")
            + "config.cfg:1: NAME_ON_ORVEX : [a b] cannot name the node on the bus: it holds white space.\n"
              "config.cfg:2: NAME_ON_ORVEX : [a>b] cannot name the node on the bus: it holds \">\".\n"
              "config.cfg:3: NAME_ON_ORVEX : [a.b] cannot name the node on the bus: it holds \".\".\n"
              "config.cfg:4: NAME_ON_ORVEX : [] cannot name the node on the bus: it is empty.\n"
              "config.cfg:4: note: NAME_ON_ORVEX is given again; this one holds over config.cfg:1, config.cfg:2, "
              "config.cfg:3\n4 problems found\n");
        row("aliases that can never move", "PM m1 p a\nPM m2 p a\nALIAS z m1 m2 0 0 1\nALIAS c m1 m2 2 -2 0\n"
            "ALIAS d m1 m1 2 -1 0\n", head + "PM m1 : p.a\nPM m2 : p.a\nALIAS z = 0 * p.a + 0 * p.a - 1\n"
            "ALIAS c = 2 * p.a + -2 * p.a - 0\nALIAS d = 2 * p.a + -1 * p.a - 0\n" + bus
            + "config.cfg:3: ALIAS : z can never move: both factors are 0. [ z m1 m2 0 0 1]\n"
              "config.cfg:4: ALIAS : c can never move: both ids name p.a and the factors add up to 0. [ c m1 m2 2 -2 0]\n"
              "2 problems found\n");
        row("a setting given twice: a note, no problem", "ORVEX_PORT 1\nKEY_FILE zerlint0\nORVEX_PORT 2\n",
            head + busWith("60570", "2")
                + "config.cfg:3: note: ORVEX_PORT is given again; this one holds over config.cfg:1\nno problems found\n");
    }
    void check()
    {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, printed);
        NodeProcess node;
        node.writeFile("config.cfg", config);
        node.writeFile("more.cfg", "\nPM m1 q\nALIAS a m1 m9 1 1 0\n");
        node.writeFile("zerlint0.key", "k0 k1\n");
        node.writeFile("open.key", "k0\n");
        QFile::setPermissions(node.dir() + "/open.key", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        QFETCH(QStringList, args);
        QVERIFY(node.start(QStringList{"--check"} + args));
        const int status = node.waitForExit();
        QVERIFY2(node.output() == printed, "it printed:\n" + node.output());
        QCOMPARE(status, printed.endsWith("no problems found\n") ? 0 : 1);
        QCOMPARE(node.log(), QByteArray());   // every finding goes to the list, none to the log
    }

    // Under a service manager: --help, --version and --check answer and end, with no connection and no word to
    // it; a start tells it its status, and READY=1 once logged in, never before.
    void service_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("printed");   // the start of what it prints
        QTest::addColumn<int>("status");           // -1: still running
        QTest::addColumn<QByteArray>("answer");    // the server's to the login; null: no connection
        QTest::addColumn<QByteArray>("told");      // "|" after each datagram; PORT: the server's port
        QTest::addColumn<bool>("abstract");        // the socket has an abstract name, not a file
        // First "%" the definitions (else one alias over one controller, with GetValue waiting 0.1 s); "#" before
        // the start: "#nokey", "#openkey" (others may read it), "#journal" (the log goes to it); then "<" sent to
        // the node, "=" a line from it, "?" a line in the log, "!" a signal, "close", "%" the definitions anew;
        // at the end "?!" not in the log
        QTest::addColumn<QByteArrayList>("steps");
        const auto row = [](const char *name, const QStringList &args, const QByteArray &printed, int status,
                            const QByteArray &answer = {}, const QByteArray &told = "", bool abstract = false,
                            const QByteArrayList &steps = {}) {
            QTest::newRow(name) << args << printed << status << answer << told << abstract << steps;
        };
        const QByteArray version = "zerlint " ZERLINT_VERSION "\n";
        const QByteArray connecting = "STATUS=Connecting to the bus server 127.0.0.1 port PORT|";
        row("--help", {"--help"}, "Usage: zerlint", 0);
        row("--version", {"--version"}, version, 0);
        row("--version after -c", {"-c", "config.cfg", "--version"}, version, 0);
        row("--check", {"--check"}, "configuration config.cfg\n", 0);
        row("--check, bad key file", {"--check", "-c", "badkey.cfg"}, "configuration badkey.cfg\n", 1);
        row("ready once logged in", {}, "", -1, "System>zerlint0 @login Ok:\n",
            connecting + "READY=1\nSTATUS=Serving 1 aliases over 1 controller channels as zerlint0|");
        const QByteArray serving = "STATUS=Serving 1 aliases over 1 controller channels as zerlint0";
        row("a silent controller named, until it answers again", {}, "", -1, "System>zerlint0 @login Ok:\n",
            connecting + "READY=1\n" + serving + "|" + serving + "; not answering: pmc01.ax1|" + serving
                + "; all controllers answer again|", false,
            {"=pmc01.ax1 GetValue", "<c>zerlint0.a GetValue\n",
             "=zerlint0.a>c @GetValue Er:Controller pmc01.ax1 did not answer within 0.1 s", "<pmc01.ax1>zerlint0 @GetValue 5\n"});
        row("SIGTERM: a clean stop", {}, "", 0, "System>zerlint0 @login Ok:\n",
            connecting + "READY=1\n" + serving + "|STOPPING=1|", false, {"=pmc01.ax1 GetValue", "!15"});
        const QByteArray refused = "System>zerlint0 @login Er: Wrong key\n";
        row("login refused: never ready; abstract name", {}, "", 1, refused, connecting, true,
            {"?\"The bus server refused the login: Er: Wrong key\"", "?!Logged in"});
        // A reload keeps the connection, and what is known of the controllers and of the aliases it keeps.
        const QByteArray defs = "PM m1 pmc01 ax1\nPM m2 pmc01 ax2\nPM m4 pmc03\nALIAS a m1 m1 1 1 0\nALIAS c m2 m2 1 0 0\n"
                                "ALIAS s m4 m4 1 0 0\n";
        const QByteArray serving7 = "STATUS=Serving 7 aliases over 4 controller channels as zerlint0";
        row("SIGHUP: aliases added, removed, changed, kept; a new controller subscribed", {}, "", -1,
            "System>zerlint0 @login Ok:\n", connecting + "READY=1\nSTATUS=Serving 6 aliases over 3 controller channels "
            "as zerlint0|RELOADING=1\nMONOTONIC_USEC=N|READY=1\n" + serving7 + "|" + serving7 + "; not answering: pmc03|",
            false,
            {"%" + defs + "GETVALUE_TIMEOUT 1\nALIAS b m1 m1 1 0 0\nALIAS d m1 m2 1 1 0\nALIAS gone m1 m1 1 0 0\n",
             "=pmc03 GetValue", "<pmc01.ax1>zerlint0 @GetValue 5\npmc01.ax2>zerlint0 @GetValue 7\n"
             "pmc01.ax2>zerlint0 _ChangedIsBusy 1\nc>zerlint0.a GetValue\nc>zerlint0.b GetValue\nc>zerlint0.gone GetValue\n"
             "c>zerlint0.s GetValue\n", "=zerlint0.d>System _ChangedIsBusy 1",
             "%" + defs + "PM m3 pmc02 ax1\nALIAS b m1 m3 1 1 0\nALIAS d m1 m2 2 1 0\nALIAS new m3 m3 1 0 0\n"
             "ALIAS e m2 m2 1 0 0\n", "!1",
             "=zerlint0.d>System _ChangedValue 17", "=zerlint0.e>System _ChangedIsBusy 1",
             "=zerlint0.gone>c @GetValue Er:Channel [gone] is not defined",
             "=System flgon pmc02", "=System flgon pmc02.ax1", "=pmc02.ax1 GetValue",
             "<c>zerlint0 GetChs\nc>zerlint0.c IsBusy\npmc01.ax1>zerlint0 @GetValue 6\npmc02.ax1>zerlint0 @GetValue 3\n"
             "pmc01.ax2>zerlint0 _ChangedIsBusy 0\n", "=zerlint0>c @GetChs a c s b d new e", "=zerlint0.c>c @IsBusy 1",
             "=zerlint0.a>c @GetValue 12", "=zerlint0.b>c @GetValue 9", "=zerlint0.c>System _ChangedIsBusy 0",
             "=zerlint0.e>System _ChangedIsBusy 0", "=zerlint0.s>c @GetValue Er:Controller pmc03 did not answer within 1 s",
             "?\"Reloaded: 7 aliases over 4 controller channels, 2 added, 1 removed, 2 changed\""});
        row("SIGHUP refused: a setting that takes a restart; a problem; nothing changes", {}, "", -1,
            "System>zerlint0 @login Ok:\n", connecting + "READY=1\n" + serving + "|RELOADING=1\nMONOTONIC_USEC=N|READY=1\n"
            + serving + "|RELOADING=1\nMONOTONIC_USEC=N|READY=1\n" + serving + "|", false,
            {"=pmc01.ax1 GetValue", "%NAME_ON_ORVEX other\nPM m1 pmc01 ax1\nALIAS a m1 m1 1 1 0\nALIAS y m1 m1 1 1 0\n",
             "!1", "?\"Reload refused: NAME_ON_ORVEX changed from zerlint0 to other; that takes a restart\"",
             "%PM m1 pmc01 ax1\nALIAS a m1 m1 1 1 0\nALIAS z m1 m1 0 0 0\n", "!1",
             "?\"config.cfg:5: ALIAS : z can never move: both factors are 0. [ z m1 m1 0 0 0]\"",
             "?\"Reload refused: 1 problem in the configuration; nothing changed\"", "<c>zerlint0 GetChs\n",
             "=zerlint0>c @GetChs a", "?!Reloaded"});
        // How a start and its end are logged.
        row("bus closes", {}, "", 0, "System>zerlint0 @login Ok:\n", connecting + "READY=1\n" + serving + "|", false,
            {"=pmc01.ax1 GetValue", "close", "?make connection \"zerlint0\" \"zerlint0\" \"127.0.0.1\"",
             "?\"Login line written as zerlint0\"", "?\"Logged in to the bus server as zerlint0\"",
             "?\"The bus server closed the connection\"", "?!read by anyone"});
        row("key file anyone can read: a warning, and on", {}, "", -1, "System>zerlint0 @login Ok:\n",
            connecting + "READY=1\n" + serving + "|", false,
            {"#openkey", "=pmc01.ax1 GetValue", "?\"Key file zerlint0.key can be read by anyone: chmod o-r zerlint0.key\""});
        row("no key file", {}, "", 1, {}, "", false,
            {"#nokey", "?Key file zerlint0.key (KEY_FILE zerlint0 and \".key\"): No such file or directory\n",
             "?!:zerlint0.key", "?!make connection"});
        row("journal priorities", {}, "", 1, refused, connecting, false,
            {"#journal", "#openkey", "?<7>def PM :  \"m1\"", "?<4>\"Key file zerlint0.key can be read", "?<6>make connection",
             "?<6>\"Login line written", "?<3>\"The bus server refused the login"});
    }
    void service()
    {
        FakeBus server;
        NodeProcess node;
        node.writeFile("zerlint0.key", "k0\n");
        QFETCH(QByteArrayList, steps);
        const QByteArray busLines = "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(server.port()) + "\n";
        node.writeFile("config.cfg", busLines + (steps.value(0).startsWith('%') ? steps.takeFirst().mid(1)
                                                 : "PM m1 pmc01 ax1\nALIAS a m1 m1 1 1 0\nGETVALUE_TIMEOUT 0.1\n"));
        node.writeFile("badkey.cfg", "INCLUDE config.cfg\nKEY_FILE none\n");
        QFETCH(bool, abstract);
        const QByteArray name = abstract ? "@zerlint-test-" + QByteArray::number(::getpid())
                                         : QFile::encodeName(node.dir()) + "/notify";
        sockaddr_un address{AF_UNIX, {}};   // an abstract name: a zero byte where NOTIFY_SOCKET has "@"
        std::memcpy(address.sun_path + abstract, name.constData() + abstract, size_t(name.size() - abstract));
        const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const auto closeManager = qScopeGuard([manager] { ::close(manager); });
        QVERIFY(::bind(manager, reinterpret_cast<sockaddr *>(&address),
                       socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()))) == 0);
        node.setEnvironment("NOTIFY_SOCKET", QString::fromLocal8Bit(name));
        if (steps.contains("#nokey"))
            QFile::remove(node.dir() + "/zerlint0.key");
        if (steps.contains("#openkey"))
            QFile::setPermissions(node.dir() + "/zerlint0.key", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        if (steps.contains("#journal"))
            node.logToJournal();
        else   // without the journal, no line carries a priority
            steps << "?!<";
        QFETCH(QStringList, args);
        QVERIFY(node.start(args));
        QFETCH(QByteArray, answer);
        if (!answer.isNull())
            QCOMPARE(server.login(0, answer), "zerlint0 k0");
        for (const QByteArray &step : steps) {
            if (step.startsWith('<'))
                server.send(step.mid(1));
            else if (step.startsWith('!'))
                node.signal(step.mid(1).toInt());
            else if (step == "close")
                server.node()->close();
            else if (step.startsWith('%'))
                node.writeFile("config.cfg", busLines + step.mid(1));
            else if (step.startsWith('='))
                QVERIFY2(server.waitFor(step.mid(1)), step + " after " + server.skipped.join('|'));
            else if (step.startsWith('?') && !step.startsWith("?!"))
                QVERIFY2(node.waitForLog(step.mid(1)), node.log().constData());
        }
        QFETCH(int, status);
        if (status >= 0)
            QCOMPARE(node.waitForExit(), status);   // all it told before it ended has arrived by now
        if (steps.contains("!15"))
            QVERIFY2(node.log().endsWith("\"Stopped on SIGTERM\"\n"), node.log().constData());
        for (const QByteArray &step : steps) {
            if (step.startsWith("?!"))
                QVERIFY2(!node.log().contains(step.mid(2)), node.log().constData());
        }
        QFETCH(QByteArray, told);
        told.replace("PORT", QByteArray::number(server.port()));
        QByteArray got;
        const auto toldAll = [&] {
            char datagram[512];
            for (ssize_t n; (n = ::recv(manager, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
                got += QString::fromUtf8(datagram, n).replace(QRegularExpression("USEC=\\d+"), "USEC=N").toUtf8() + '|';
            return got == told;
        };
        QVERIFY2(QTest::qWaitFor(toldAll), "told " + got);
        QFETCH(QByteArray, printed);
        QVERIFY2(node.output().startsWith(printed), node.output().constData());
        QCoreApplication::processEvents();   // a connection made would be waiting to be taken by now
        QCOMPARE(server.connections(), answer.isNull() ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(tst_service)
#include "tst_service.moc"
