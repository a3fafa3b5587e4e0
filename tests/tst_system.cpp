#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include "fakebus.h"

class tst_system : public QObject
{
    Q_OBJECT
    QString bin = qEnvironmentVariable("ZERLINT_BIN_DIR"), examples = QFINDTESTDATA("../examples"), port;
    QProcess sim;
    NodeProcess node;
    // An orvex-client session as "t": its exit status (-1: it did not end in time) and the lines it received.
    std::pair<int, QStringList> talk(const QStringList &args, double timeout = 5)
    {
        QProcess client;
        client.start(bin + "/orvex-client", QStringList{"--port", port, "--keys", examples + "/demo.key", "--name", "t", "--timeout", QString::number(timeout)} + args);
        const bool ended = client.waitForFinished(int(timeout * 1000) + 5000) && client.exitStatus() == QProcess::NormalExit;
        static const QRegularExpression shown("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} <- ");
        return {ended ? client.exitCode() : -1, QString::fromUtf8(client.readAllStandardOutput()).split('\n').filter(shown).replaceInStrings(shown, "")};
    }

    // The tools alone need no running system.
    static bool alone() { return QByteArrayList{"toolAlone", "version"}.contains(QTest::currentTestFunction()); }

private slots:
    void init()
    {
        if (alone())
            return;
        QString simOutput;
        auto readSim = [&] { return simOutput += QString::fromUtf8(sim.readAll()); };
        sim.setProcessChannelMode(QProcess::MergedChannels);
        node.writeFile("sim.cfg", QString("INCLUDE \"%1/sim.cfg\"   # the example controllers\n").arg(examples).toUtf8());
        sim.start(bin + "/orvex-sim", {"--port", "0", "--keys", examples + "/demo.key", "--time-scale", "4", node.dir() + "/sim.cfg"});
        QVERIFY(QTest::qWaitFor([&] { return !(port = QRegularExpression("listening on 127.0.0.1 port (\\d+)\n").match(readSim()).captured(1)).isEmpty(); }, 5000));
        node.writeFile("config.cfg", QString("INCLUDE %1/config.cfg\nORVEX_PORT %2\nKEY_FILE %1/demo\n").arg(examples, port).toUtf8());
        QVERIFY(node.start());   // it reads its controllers right after following the last of them:
        QVERIFY(QTest::qWaitFor([&] { return readSim().contains("follows \"pmc02\""); }, 5000));
    }
    void cleanup()
    {
        if (alone())
            return;
        sim.close();
        QCOMPARE(node.waitForExit(), 0);   // the bus connection closed
    }

    void aliasMove_data()
    {
        QTest::addColumn<QString>("command");
        for (const char *column : {"start", "target", "tolerance"})   // tolerance: one count of truncation per controller
            QTest::addColumn<double>(column);
        QTest::newRow("gap, odd target truncated in each half") << "zerlint0.gap SetValue 3001" << 2000.0 << 3001.0 << 2.0;
        QTest::newRow("centre, controllers in opposite directions") << "zerlint0.centre SetValue -151" << 0.0 << -151.0 << 1.0;
        QTest::newRow("height_mm, one controller for both halves") << "zerlint0.height_mm SetValue 7.25" << 5.0 << 7.25 << 0.001;
    }
    void aliasMove()
    {
        QFETCH(QString, command);
        QFETCH(double, start);
        QFETCH(double, target);
        QFETCH(double, tolerance);
        const QString address = command.section(' ', 0, 0);
        const auto [status, said] = talk({"--until", "^" + address + ">t _ChangedIsBusy 0$", "System flgon " + address, command});
        const QString joined = QStringList(said).filter(address + ">t ").replaceInStrings(address + ">t ", "").join(" | ");
        QVERIFY2(status == 0 && QRegularExpression("^@" + command.section(' ', 1, 1) + " Ok: \\| _ChangedIsBusy 1( \\| _ChangedValue \\S+)+ \\| _ChangedIsBusy 0$").match(joined).hasMatch(), qPrintable(joined));
        QList<double> values{start};   // each on the way from the start to the target
        for (const QString &event : said.filter(address + ">t _ChangedValue "))
            values.append(event.section(' ', -1).toDouble());
        QVERIFY2(std::is_sorted(values.cbegin(), values.cend(), [&](double x, double y) { return (x - y) * (target - start) < 0; }) && qAbs(values.last() - target) <= tolerance, qPrintable(joined));
    }

    // Exit statuses 1: --until ran out of time (a typo, a move beyond a limit and a controller's
    // refusal move nothing: no controller event), 0: quiet, 2: refused. Centre 19500 would take the
    // upper blade to 20500, beyond the example's PM_LIMITS, and the lower to -18500, within.
    void clientEnds()
    {
        const auto [noMatch, typo] = talk({"--until", "_Changed", "System flgon pmc01", "System flgon pmc02", "zerlint0.gap SetValue abc", "zerlint0.centre SetValue 19500", "pmc01.ax1 SetValue 20001", "zerlint0.gap GetValue"}, 1.5);
        const auto [quiet, answers] = talk({"zerlint0 GetChs"});
        const auto [refused, login] = talk({"--name", "zerlint0", "--until", "@GetChs", "zerlint0 GetChs"});
        QCOMPARE((QList<int>{noMatch, quiet, refused}), (QList<int>{1, 0, 2}));
        QCOMPARE(typo.filter("zerlint0") + typo.filter("pmc01.ax1>t"), (QStringList{"zerlint0.gap>t @SetValue Er:Value [abc] is not a number", "zerlint0.centre>t @SetValue Er:Value [19500] is out of range", "zerlint0.gap>t @GetValue 2000", "pmc01.ax1>t @SetValue Er: Target 20001 is outside the limits -20000..20000"}));
        QCOMPARE(answers.filter("zerlint0") + login.filter("zerlint0"), (QStringList{"zerlint0>t @GetChs gap centre height height_mm", "System>zerlint0 @login Er: Name [zerlint0] is already in use"}));
        // orvex-sim logs each refusal it answers, a controller's and its own.
        QString simLog;
        const QStringList logged{"refused \"pmc01.ax1 SetValue 20001\" from \"t\": Target 20001 is outside the limits -20000..20000\n",
                                 "refused \"login\" from \"zerlint0\": Name [zerlint0] is already in use\n"};
        QVERIFY2(QTest::qWaitFor([&] { simLog += QString::fromUtf8(sim.readAll()); return std::all_of(logged.cbegin(), logged.cend(), [&](const QString &line) { return simLog.contains(line); }); }, 5000), qPrintable(simLog));
    }

    // Status 2 and one line on stderr for a key file a tool cannot use; the client answers the
    // test's challenge with the key it selects (demo.key holds six), and no other.
    void toolAlone_data()
    {
        for (const char *column : {"tool", "keys", "complaint"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<QByteArray>("challenge");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("sim, no key file") << "orvex-sim" << "missing.key" << "orvex-sim: cannot read the key file .*missing.key: .*" << QByteArray() << QByteArray();
        QTest::newRow("sim, no key in the file") << "orvex-sim" << "empty" << "orvex-sim: no key in .*empty.key" << QByteArray() << QByteArray();
        QTest::newRow("client, no key file") << "orvex-client" << "missing" << "orvex-client: cannot read the key file .*missing.key: .*" << QByteArray() << QByteArray();
        QTest::newRow("client, no key in the file") << "orvex-client" << "empty.key" << "orvex-client: no key in .*empty.key" << QByteArray() << QByteArray();
        QTest::newRow("client, challenge beyond the key count") << "orvex-client" << "demo" << QString() << QByteArray(" 13 ") << QByteArray("t basalt");
        QTest::newRow("client, negative multiple of the key count") << "orvex-client" << "demo" << QString() << QByteArray("-6") << QByteArray();
        QTest::newRow("client, challenge not a number") << "orvex-client" << "demo" << QString() << QByteArray("12abc") << QByteArray();
    }
    void toolAlone()
    {
        QFETCH(QString, tool);
        QFETCH(QString, keys);
        QFETCH(QByteArray, challenge);
        QTcpServer server;   // the bus, as far as the client gets
        QVERIFY(server.listen(QHostAddress::LocalHost));
        node.writeFile("empty.key", " \n");
        const QString keyFile = keys == "demo" ? examples + "/demo" : node.dir() + "/" + keys;
        QProcess proc;
        proc.start(bin + "/" + tool, QStringList{"--keys", keyFile, "--port"} + (tool == "orvex-sim" ? QStringList{"0", examples + "/sim.cfg"} : QStringList{QString::number(server.serverPort()), "--name", "t", "x Hello"}));
        QByteArray answer;
        if (!challenge.isNull()) {
            QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000));
            QTcpSocket *bus = server.nextPendingConnection();
            bus->write(challenge + "\n");
            if (QTest::qWaitFor([&] { return bus->canReadLine() || proc.state() == QProcess::NotRunning; }, 5000) && bus->canReadLine()) {
                answer = bus->readLine().trimmed();
                bus->write("System>t @login Er: Wrong key\n");
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return proc.state() == QProcess::NotRunning; }, 5000));
        QTEST(answer, "answer");
        const QString said = QString::fromUtf8(proc.readAllStandardError());
        QFETCH(QString, complaint);
        QVERIFY2(proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 2, qPrintable(said));
        QVERIFY2(complaint.isEmpty() ? said.isEmpty() : QRegularExpression("^" + complaint + "\n$").match(said).hasMatch(), qPrintable(said));
    }

    // --version comes before everything else: given all it needs to listen (sim) or to connect to
    // the test's server (client), it prints its name and version, status 0, and does neither.
    void version_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::newRow("sim") << "orvex-sim";
        QTest::newRow("client") << "orvex-client";
    }
    void version()
    {
        QFETCH(QString, tool);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QProcess proc;
        proc.start(bin + "/" + tool, QStringList{"--keys", examples + "/demo.key", "--version", "--port"} + (tool == "orvex-sim" ? QStringList{"0", examples + "/sim.cfg"} : QStringList{QString::number(server.serverPort()), "x Hello"}));
        QVERIFY2(proc.waitForFinished(5000), "still running");
        QCOMPARE(QString::fromUtf8(proc.readAllStandardOutput()), tool + " " ZERLINT_VERSION "\n");
        QVERIFY(proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0);
        QVERIFY2(!server.waitForNewConnection(0), "the client connected");
    }
};

QTEST_MAIN(tst_system)
#include "tst_system.moc"
