#include <QTest>

#include <poll.h>
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
    // zerlint --check: each line listed must be a line of what it prints; "!" and a text: none holds it.
    void check_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("keys");   // null: no key file
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<int>("status");
        const QStringList plain{"--check"};
        const auto row = [&plain](const char *name, const QByteArray &config, const QByteArrayList &lines,
                                  int status = 1, const QByteArray &keys = "k0 k1\n", const QStringList &args = {}) {
            QTest::newRow(name) << config << keys << (args.isEmpty() ? plain : args) << lines << status;
        };
        row("sound", "ORVEX_PORT 6000\nPM m1 pmc01 ax1\nPM m2 pmc02 # node only\nALIAS gap m1 m2 1 -1 0.5\n"
                     "PM_LIMITS m1 -10 10\nALIAS_LIMITS gap 0 5\n",
            {"PM m1 : pmc01.ax1, limits -10..10", "PM m2 : pmc02", "ALIAS gap = 1 * pmc01.ax1 + -1 * pmc02 - 0.5, limits 0..5",
             "bus server localhost port 6000, node name zerlint0, key file zerlint0.key (2 keys)", "no problems found"},
            0);
        row("misspelt key", "ORVEX_PROT 6000\n",
            {"config.cfg:1: ORVEX_PROT : No part of the node reads this key. Did you mean ORVEX_PORT?", "1 problem found"});
        row("keys in another case", "pm m1 pmc01\nPM m2 pmc02\nAlias a m2 m2 1 1 0\n",
            {"config.cfg:1: pm : No part of the node reads this key: keys are case-sensitive. Did you mean PM?",
             "config.cfg:3: Alias : No part of the node reads this key: keys are case-sensitive. Did you mean ALIAS?",
             "PM m2 : pmc02", "!PM m1", "!ALIAS a"});
        row("far from any key", "COLOUR blue\nPX m1 p\n",
            {"config.cfg:1: COLOUR : No part of the node reads this key.",
             "config.cfg:2: PX : No part of the node reads this key. Did you mean PM?"});
        row("factor, offset not numbers", "PM m1 p\nALIAS gap m1 m1 1 l 0\nALIAS g2 m1 m1 1 inf\n",
            {"config.cfg:2: ALIAS : The factor2 of gap is not a number, so it counts as 0. [ gap m1 m1 1 l 0]",
             "config.cfg:3: ALIAS : The factor2 of g2 is not a finite number. [ g2 m1 m1 1 inf]",
             "config.cfg:3: ALIAS : The offset of g2 is not a number, so it counts as 0. [ g2 m1 m1 1 inf]",
             "!config.cfg:2: ALIAS : The factor1", "3 problems found"});
        row("limits not numbers", "PM m1 p\nPM_LIMITS m1 low 5\n",
            {"config.cfg:2: PM_LIMITS : The limits of m1 are not numbers. Ignored. [ m1 low 5]"});
        row("no node", "PM m1\nALIAS a m1 m1 1 1 0\n",
            {"config.cfg:1: PM : The ID m1 names no controller node. [ m1]", "PM m1 : (no address)",
             "ALIAS a = 1 * (no address) + 1 * (no address) - 0"});
        row("the definitions' own diagnostics, in an included file", "PM m1 p\nINCLUDE more.cfg\nPM m3 r\n",
            {"more.cfg:2: PM : The ID m1 is already used. [ m1 q]",
             "more.cfg:3: One of the Chs m1 and/or m9 is not defined. [ a m1 m9 1 1 0]", "PM m3 : r"});
        row("INCLUDE of a missing file", "INCLUDE gone.cfg\n", {"config.cfg:1: Can't open config file :  gone.cfg"});
        row("unclosed quote, once", "NAME_ON_ORVEX \"abc\n",
            {"config.cfg:1: In a line [ \"abc] item is started from quote but not ended by quote", "1 problem found"});
        row("unclosed quote in a definition", "PM m1 p\nALIAS \"gap m1 m1 1 1 0\n",
            {"config.cfg:2: In a line [ \"gap m1 m1 1 1 0] item is started from quote but not ended by quote"});
        row("configuration file missing", "", {"Can't open config file :  nothere.cfg"}, 1, "k0\n",
            {"--check", "-c", "nothere.cfg"});
        row("-c naming nothing", "", {"-c : No configuration file is named, so none is read."}, 1, "k0\n",
            {"--check", "-c"});
        for (const char *port : {"0", "65536", "port", "-1"})
            row(qPrintable(QStringLiteral("port %1").arg(port)), QByteArray("ORVEX_PORT ") + port + '\n',
                {QByteArray("config.cfg:1: ORVEX_PORT : ") + port + " is not a port number from 1 to 65535."});
        row("port 65535", "ORVEX_PORT 65535\n", {"no problems found"}, 0);
        row("no key file", "", {"Cannot open [zerlint0.key]", "Cannot open [:zerlint0.key]"}, 1, QByteArray());
        row("empty key file", "", {"No key in [zerlint0.key]"}, 1, " \n\n");
        row("key file named in the configuration", "\nKEY_FILE other\n", {"config.cfg:2: Cannot open [other.key]"});
    }
    void check()
    {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, keys);
        QFETCH(QStringList, args);
        NodeProcess node;
        node.writeFile("config.cfg", config);
        node.writeFile("more.cfg", "\nPM m1 q\nALIAS a m1 m9 1 1 0\n");
        if (!keys.isNull())
            node.writeFile("zerlint0.key", keys);
        QVERIFY(node.start(args));
        QFETCH(int, status);
        QCOMPARE(node.waitForExit(), status);
        QCOMPARE(node.log(), QByteArray());   // every finding goes to the list, none to the log
        const QByteArrayList printed = node.output().split('\n');
        QFETCH(QByteArrayList, lines);
        for (const QByteArray &line : lines) {
            const bool absent = line.startsWith('!');
            const bool found = absent ? std::any_of(printed.begin(), printed.end(),
                                                    [&line](const QByteArray &p) { return p.startsWith(line.mid(1)); })
                                      : printed.contains(line);
            QVERIFY2(found != absent, qPrintable(line + "\n--- printed:\n" + printed.join('\n')));
        }
    }

    // The informational options answer and end; none of them connects, whatever the configuration.
    void neverConnects_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("printed");   // the start of what it prints
        QTest::addColumn<int>("status");
        QTest::newRow("--help") << QStringList{"--help"} << QByteArray("Usage: zerlint") << 0;
        QTest::newRow("--version") << QStringList{"--version"} << QByteArray("zerlint " ZERLINT_VERSION "\n") << 0;
        QTest::newRow("--version after -c") << QStringList{"-c", "config.cfg", "--version"}
                                            << QByteArray("zerlint " ZERLINT_VERSION "\n") << 0;
        QTest::newRow("--check") << QStringList{"--check"} << QByteArray("configuration config.cfg\n") << 0;
        QTest::newRow("--check, bad key file") << QStringList{"--check", "-c", "badkey.cfg"}
                                               << QByteArray("configuration badkey.cfg\n") << 1;
    }
    void neverConnects()
    {
        QFETCH(QStringList, args);
        FakeBus server;
        NodeProcess node;
        node.writeFile("zerlint0.key", "k0\n");
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(server.port()) + '\n');
        node.writeFile("badkey.cfg", "INCLUDE config.cfg\nKEY_FILE none\n");
        QVERIFY(node.start(args));
        QFETCH(int, status);
        QCOMPARE(node.waitForExit(), status);
        QFETCH(QByteArray, printed);
        QVERIFY2(node.output().startsWith(printed), node.output().constData());
        QVERIFY2(!node.log().contains("make connection"), node.log().constData());
        QCoreApplication::processEvents();   // a connection made would be waiting to be taken by now
        QCOMPARE(server.connections(), 0);
    }

    // With NOTIFY_SOCKET the node tells the service manager it is ready once it is logged in, not before.
    void readiness_data()
    {
        QTest::addColumn<bool>("abstract");
        QTest::addColumn<bool>("refused");
        QTest::newRow("socket file") << false << false;
        QTest::newRow("abstract name") << true << false;
        QTest::newRow("login refused: never ready") << false << true;
    }
    void readiness()
    {
        QFETCH(bool, abstract);
        FakeBus server;
        NodeProcess node;
        const QByteArray name = abstract ? "@zerlint-test-" + QByteArray::number(::getpid())
                                         : QFile::encodeName(node.dir()) + "/notify";
        const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (abstract)
            address.sun_path[0] = '\0';
        QVERIFY(::bind(manager, reinterpret_cast<sockaddr *>(&address),
                       socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()))) == 0);
        QByteArray told;
        const auto listen = [manager, &told] {
            char datagram[512];
            for (ssize_t n; (n = ::recv(manager, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
                told += QByteArray(datagram, int(n)) + '|';
            return told;
        };

        node.writeFile("zerlint0.key", "k0\n");
        node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(server.port())
                                         + "\nPM m1 pmc01 ax1\nALIAS a m1 m1 1 1 0\n");
        node.setEnvironment("NOTIFY_SOCKET", QString::fromLocal8Bit(name));
        QVERIFY(node.start());
        QVERIFY(server.waitForNode());
        server.send("0\n");
        QCOMPARE(server.nextLine(), "zerlint0 k0");
        QVERIFY2(QTest::qWaitFor([&] { return listen().contains("STATUS=Connecting to the bus server 127.0.0.1 port"); }),
                 told.constData());
        QVERIFY2(!listen().contains("READY=1"), told.constData());
        QFETCH(bool, refused);
        if (refused) {
            server.send("System>zerlint0 @login Er: Wrong key\n");
            QCOMPARE(node.waitForExit(), 1);
            QVERIFY2(!listen().contains("READY=1"), told.constData());
            ::close(manager);
            return;
        }
        server.send("System>zerlint0 @login Ok:\n");
        QVERIFY(server.waitFor("pmc01.ax1 GetValue"));
        QVERIFY2(QTest::qWaitFor([&] { return listen().contains("READY=1\nSTATUS=Serving 1 aliases over 1 controller channels as zerlint0|"); }),
                 told.constData());
        ::close(manager);
    }
};

QTEST_GUILESS_MAIN(tst_service)
#include "tst_service.moc"
