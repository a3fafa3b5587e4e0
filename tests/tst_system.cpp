#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include "fakebus.h"

class tst_system : public QObject
{
    Q_OBJECT
    QString bin = qEnvironmentVariable("ZERLINT_BIN_DIR") + '/', examples = QFINDTESTDATA("../examples"), port;
    QProcess sim;
    NodeProcess node;

private slots:
    void initTestCase()
    {
        node.writeFile("sim.cfg", QString("INCLUDE \"%1/sim.cfg\"   # the examples\n").arg(examples).toUtf8());
        node.writeFile("empty.key", " \n");
        sim.start(bin + "orvex-sim",
                  {"--port", "0", "--keys", examples + "/demo.key", "--time-scale", "4", node.dir() + "/sim.cfg"});
        QVERIFY(sim.waitForReadyRead(5000));   // its standard output: the line with the port, and no more
        port = QString(sim.readLine()).trimmed().section(' ', -1);
        const QString config = QString("INCLUDE %1/config.cfg\nORVEX_PORT %2\nKEY_FILE %1/demo\n").arg(examples, port);
        node.writeFile("config.cfg", config.toUtf8());
        QVERIFY(node.start());
        QByteArray log;   // the node reads its controllers right after following the last of them
        QVERIFY(QTest::qWaitFor([&] { return (log += sim.readAllStandardError()).contains("follows \"pmc02\""); }));
    }
    void cleanupTestCase()
    {
        sim.close();
        QCOMPARE(node.waitForExit(), 0);   // the bus connection closed
    }

    // One tool run a row: "status answer|lines shown|stderr". The bus is the test's own server, which sends the
    // challenge, if any, and closes after the answer, unless the row gives orvex-sim's (the examples, with the node).
    // Shown: the lines received but the challenge (one word) and System's answers to t.
    void tools_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("challenge");
        QTest::addColumn<QString>("ended");
        auto row = [](const QString &name, const QStringList &args, const QString &ended, QByteArray challenge = {}) {
            QTest::newRow(qPrintable(name)) << args << challenge << ended;
        };
        // A key file a tool cannot use: status 2, one line on stderr. The client answers the challenge with the key
        // it selects (demo.key holds six), and no other.
        const QString dir = node.dir() + '/', sim = "orvex-sim", client = "orvex-client", demo = examples + "/demo";
        row("sim, no key file", {sim, "--keys", dir + "missing.key"},
            "2 \\|\\|" + sim + ": cannot read the key file .*missing.key: .*\n");
        row("client, no key in the file", {client, "--keys", dir + "empty.key"},
            "2 \\|\\|" + client + ": no key in .*empty.key\n");
        const QStringList t{client, "--keys", demo, "--name", "t"};
        row("client, challenge beyond the key count", t, "2 t basalt\\|\\|", " 13 ");
        row("client, negative multiple of the key count", t, "2 \\|\\|", "-6");
        row("client, challenge not a number", t, "2 \\|\\|", "12abc");
        // --version before all else; a usage error: status 64, one line naming the option. Nothing connected to.
        auto usage = [&](const QString &tool, const QStringList &args, const QString &line) {
            row(tool + ", " + args.join(' '), QStringList{tool} + args,
                "64 \\|\\|" + QRegularExpression::escape(tool + ": " + line) + "\n");
        };
        for (const QString &tool : {sim, client}) {
            row(tool + ", --version first", {tool, "--keys", demo, "--version"},
                "0 \\|" + tool + " " ZERLINT_VERSION "\\|");
            usage(tool, {"--bogus"}, "unknown option --bogus");
            usage(tool, {"--port", "70000"}, "--port 70000 is not a port number from 0 to 65535");
        }
        usage(sim, {"--time-scale", "0"}, "--time-scale 0 is not a number above 0");
        usage(client, {"--drain", "abc"}, "--drain abc is not a number of milliseconds of 0 or more");
        // On the system, as t. Status 1: --until ran out of time (a controller's refusal moves nothing), 0: quiet,
        // or matched, 2: refused.
        auto session = [&](const char *name, const QStringList &args, int status, const QStringList &shown) {
            row(name, t + QStringList{"--port", port, "--timeout", "5"} + args,
                QString::number(status) + " \\|" + QRegularExpression::escape(shown.join('|')) + "\\|");
        };
        session("session, nothing matched in time", {"--timeout", "1.5", "--until", "_Changed", "System flgon pmc01",
                "pmc01.ax1 SetValue 20001"}, 1,
                {"pmc01.ax1>t @SetValue Er: Target 20001 is outside the limits -20000..20000"});
        session("session, quiet", {"zerlint0 GetChs"}, 0, {"zerlint0>t @GetChs gap centre height height_mm"});
        session("session, name in use", {"--name", "zerlint0", "--until", "@GetChs", "zerlint0 GetChs"}, 2,
                {"System>zerlint0 @login Er: Name [zerlint0] is already in use"});
        // Its events, one at least on the way, the last where the controllers' whole pulses take it.
        auto move = [&](const char *name, const QString &alias, const QString &target, const QString &end) {
            const QString address = "zerlint0." + alias, from = "\\|" + address + ">t ";
            row(name, t + QStringList{"--port", port, "--until", "^" + address + ">t _ChangedIsBusy 0$",
                                      "System flgon " + address, address + " SetValue " + target},
                "0 " + from + "@SetValue Ok:" + from + "_ChangedIsBusy 1(" + from + "_ChangedValue \\S+)*" + from
                    + "_ChangedValue " + QRegularExpression::escape(end) + from + "_ChangedIsBusy 0\\|");
        };
        move("gap, odd target truncated in each half", "gap", "3001", "3000");
        move("centre, controllers in opposite directions", "centre", "-151", "-151");
        move("height_mm, one controller for both halves", "height_mm", "7.25", "7.25");
    }
    void tools()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, challenge);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QProcess tool;   // a --port in the row comes later, and wins
        tool.start(bin + args.takeFirst(), QStringList{"--port", QString::number(server.serverPort())} + args);
        QByteArray answer;
        if (!challenge.isNull()) {   // a tool is a process of its own: the test can block on it
            QVERIFY(server.waitForNewConnection(5000));
            const std::unique_ptr<QTcpSocket> bus(server.nextPendingConnection());   // closed as it goes: no login
            bus->write(challenge + '\n');
            answer = bus->waitForReadyRead(5000) ? bus->readLine().trimmed() : "";
        }
        QVERIFY2(tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit, "it did not end");
        QVERIFY2(!server.waitForNewConnection(0), "it connected");
        static const QRegularExpression stamp("^[\\d:.]{12} (<- )?"), own("^(->|--|System>t @|\\S+$)");
        QStringList shown = QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        shown.replaceInStrings(stamp, "").removeIf([](const QString &line) { return line.contains(own); });
        const QString got = QString::number(tool.exitCode()) + ' ' + answer + '|' + shown.join('|') + '|'
            + tool.readAllStandardError();
        QFETCH(QString, ended);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(ended)).match(got).hasMatch(), qPrintable(got));
    }
};

QTEST_MAIN(tst_system)
#include "tst_system.moc"
