#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include "fakebus.h"

class tst_system : public QObject
{
    Q_OBJECT
    QString bin = qEnvironmentVariable("ZERLINT_BIN_DIR") + '/', examples = QFINDTESTDATA("../examples"), port, simLog;
    QProcess sim;
    NodeProcess node;
    // Waits until what orvex-sim wrote matches: the match's last group, null on time-out.
    QString simSaid(const QString &pattern)
    {
        QRegularExpressionMatch m;
        auto said = [&] { return (m = QRegularExpression(pattern).match(simLog += sim.readAll())).hasMatch(); };
        return QTest::qWaitFor(said, 5000) ? m.captured(m.lastCapturedIndex()) : QString();
    }
    // An orvex-client session as "t": its exit status (-1: it did not end in time) and the lines it received.
    std::pair<int, QStringList> talk(const QStringList &args, double timeout = 5)
    {
        QProcess client;
        client.start(bin + "orvex-client", QStringList{"--port", port, "--keys", examples + "/demo.key", "--name", "t",
                                                       "--timeout", QString::number(timeout)} + args);
        const bool ended = client.waitForFinished(int(timeout * 1000) + 5000);
        static const QRegularExpression shown("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} <- ");
        QStringList lines = QString::fromUtf8(client.readAllStandardOutput()).split('\n').filter(shown);
        return {ended && client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1,
                lines.replaceInStrings(shown, "")};
    }

private slots:
    void init()
    {
        if (QTest::currentTestFunction() == QByteArray("toolAlone"))   // needs no running system
            return;
        simLog.clear();
        sim.setProcessChannelMode(QProcess::MergedChannels);
        node.writeFile("sim.cfg", QString("INCLUDE \"%1/sim.cfg\"   # the examples\n").arg(examples).toUtf8());
        sim.start(bin + "orvex-sim",
                  {"--port", "0", "--keys", examples + "/demo.key", "--time-scale", "4", node.dir() + "/sim.cfg"});
        QVERIFY(!(port = simSaid("listening on 127.0.0.1 port (\\d+)\n")).isNull());
        const QString config = QString("INCLUDE %1/config.cfg\nORVEX_PORT %2\nKEY_FILE %1/demo\n").arg(examples, port);
        node.writeFile("config.cfg", config.toUtf8());
        QVERIFY(node.start());   // it reads its controllers right after following the last of them:
        QVERIFY(!simSaid("follows \"pmc02\"").isNull());
    }
    void cleanup()
    {
        if (sim.state() == QProcess::NotRunning)
            return;
        sim.close();
        QCOMPARE(node.waitForExit(), 0);   // the bus connection closed
    }

    void aliasMove_data()
    {
        QTest::addColumn<QString>("alias");
        for (const char *column : {"start", "target", "tolerance"})   // tolerance: a count of truncation per controller
            QTest::addColumn<double>(column);
        QTest::newRow("gap, odd target truncated in each half") << "gap" << 2000.0 << 3001.0 << 2.0;
        QTest::newRow("centre, controllers in opposite directions") << "centre" << 0.0 << -151.0 << 1.0;
        QTest::newRow("height_mm, one controller for both halves") << "height_mm" << 5.0 << 7.25 << 0.001;
    }
    void aliasMove()
    {
        QFETCH(QString, alias);
        QFETCH(double, start);
        QFETCH(double, target);
        QFETCH(double, tolerance);
        const QString address = "zerlint0." + alias, from = address + ">t ";
        const auto [status, said] = talk({"--until", "^" + from + "_ChangedIsBusy 0$", "System flgon " + address,
                                          address + " SetValue " + QString::number(target)});
        const QString events = QStringList(said).filter(from).replaceInStrings(from, "").join('|');
        const QRegularExpression shape("^@SetValue Ok:\\|_ChangedIsBusy 1(\\|_ChangedValue \\S+)+\\|_ChangedIsBusy 0$");
        QVERIFY2(status == 0 && shape.match(events).hasMatch(), qPrintable(events));
        QList<double> values{start};   // each on the way from the start to the target
        for (const QString &event : said.filter(from + "_ChangedValue "))
            values.append(event.section(' ', -1).toDouble());
        const auto towards = [&](double x, double y) { return (x - y) * (target - start) < 0; };
        QVERIFY2(std::is_sorted(values.cbegin(), values.cend(), towards) && qAbs(values.last() - target) <= tolerance,
                 qPrintable(events));
    }

    // Exit statuses 1: --until ran out of time (a typo, a move beyond a limit and a controller's
    // refusal move nothing: no controller event), 0: quiet, 2: refused. Centre 19500 would take the
    // upper blade to 20500, beyond the example's PM_LIMITS, and the lower to -18500, within.
    void clientEnds()
    {
        const auto [noMatch, typo] = talk({"--until", "_Changed", "System flgon pmc01", "System flgon pmc02",
                                           "zerlint0.gap SetValue abc", "zerlint0.centre SetValue 19500",
                                           "pmc01.ax1 SetValue 20001", "zerlint0.gap GetValue"}, 1.5);
        const auto [quiet, answers] = talk({"zerlint0 GetChs"});
        const auto [refused, login] = talk({"--name", "zerlint0", "--until", "@GetChs", "zerlint0 GetChs"});
        QCOMPARE((QList<int>{noMatch, quiet, refused}), (QList<int>{1, 0, 2}));
        const QString limits = "Target 20001 is outside the limits -20000..20000";
        const QString inUse = "Name [zerlint0] is already in use";
        const QStringList got = typo.filter("zerlint0") + typo.filter("pmc01.ax1>t") + answers.filter("zerlint0");
        QCOMPARE(got + login.filter("zerlint0"), (QStringList{"zerlint0.gap>t @SetValue Er:Value [abc] is not a number",
                 "zerlint0.centre>t @SetValue Er:Value [19500] is out of range", "zerlint0.gap>t @GetValue 2000",
                 "pmc01.ax1>t @SetValue Er: " + limits, "zerlint0>t @GetChs gap centre height height_mm",
                 "System>zerlint0 @login Er: " + inUse}));
        // orvex-sim logs each refusal it answers, a controller's and its own.
        for (const QString &line : {"refused \"pmc01.ax1 SetValue 20001\" from \"t\": " + limits,
                                    "refused \"login\" from \"zerlint0\": " + inUse})
            QVERIFY2(!simSaid(QRegularExpression::escape(line + '\n')).isNull(), qPrintable(simLog));
    }

    // A tool alone, the test's server its bus: a key file it cannot use ends it with status 2 and one line on
    // stderr; the client answers the challenge with the key it selects (demo.key holds six), and no other;
    // --version comes before all else, with status 0. None connects unless it is challenged.
    void toolAlone_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("ended");   // "status stdout|stderr"
        QTest::addColumn<QByteArray>("challenge");
        QTest::addColumn<QByteArray>("answer");
        auto row = [](const char *name, const QStringList &args, const QString &ended, const QByteArray &challenge = {},
                      const QByteArray &answer = {}) { QTest::newRow(name) << args << ended << challenge << answer; };
        const QString dir = node.dir() + '/', sim = "orvex-sim", client = "orvex-client", demo = examples + "/demo";
        const QString noFile = ": cannot read the key file .*missing.key: .*\n", noKey = ": no key in .*empty.key\n";
        const QString version = " " ZERLINT_VERSION "\n\\|";
        row("sim, no key file", {sim, "--keys", dir + "missing.key"}, "2 \\|" + sim + noFile);
        row("sim, no key in the file", {sim, "--keys", dir + "empty"}, "2 \\|" + sim + noKey);
        row("client, no key file", {client, "--keys", dir + "missing"}, "2 \\|" + client + noFile);
        row("client, no key in the file", {client, "--keys", dir + "empty.key"}, "2 \\|" + client + noKey);
        const QStringList challenged{client, "--keys", demo, "--name", "t"};
        row("client, challenge beyond the key count", challenged, "2 [^|]*\\|", " 13 ", "t basalt");
        row("client, negative multiple of the key count", challenged, "2 [^|]*\\|", "-6");
        row("client, challenge not a number", challenged, "2 [^|]*\\|", "12abc");
        row("sim, --version first", {sim, "--keys", demo, "--version"}, "0 " + sim + version);
        row("client, --version first", {client, "--keys", demo, "--version"}, "0 " + client + version);
    }
    void toolAlone()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, challenge);
        QFETCH(QString, ended);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        node.writeFile("empty.key", " \n");
        const bool sim = args.first() == "orvex-sim";   // it listens on a free port; the client sends one line
        QProcess proc;
        proc.start(bin + args.takeFirst(), args << "--port" << (sim ? "0" : QString::number(server.serverPort()))
                                                << (sim ? examples + "/sim.cfg" : "x Hello"));
        QByteArray answer;
        if (!challenge.isNull()) {   // a tool is a process of its own: the test can block on it
            QVERIFY(server.waitForNewConnection(5000));
            QTcpSocket *bus = server.nextPendingConnection();
            bus->write(challenge + '\n');
            if (bus->waitForReadyRead(5000) && bus->canReadLine())
                answer = bus->readLine().trimmed();
            bus->close();   // no login for it
        }
        QVERIFY2(proc.waitForFinished(5000) && proc.exitStatus() == QProcess::NormalExit, "it did not end");
        QVERIFY2(!server.waitForNewConnection(0), "it connected");
        QTEST(answer, "answer");
        const QString got = QString::number(proc.exitCode()) + ' ' + proc.readAllStandardOutput() + '|'
            + proc.readAllStandardError();
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(ended)).match(got).hasMatch(), qPrintable(got));
    }
};

QTEST_MAIN(tst_system)
#include "tst_system.moc"
