#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "bus/orvex.h"
#include "config/bussettings.h"
#include "config/paramstore.h"
#include "fakebus.h"
#include "node/body.h"

// A transport in the test process: what is fed is read as from a socket, what the link writes is
// kept, and the test sets how much of it is unsent.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return pending.contains('\n') || QIODevice::canReadLine(); }
    qint64 bytesToWrite() const override { return unsent; }
    void feed(const QByteArray &bytes) { pending += bytes; emit readyRead(); }
    void drain(qint64 left) { unsent = left; emit bytesWritten(1); }
    QByteArray take() { return std::exchange(written, {}); }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        const qsizetype n = qMin(qsizetype(size), pending.size());
        if (data && n > 0)   // no buffer: the bytes are skipped
            std::memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override { written.append(data, size); return size; }

private:
    QByteArray pending, written;
    qint64 unsent = 0;
};

// The node in this process, over one alias, connecting to a bus server on the port.
struct InProcess
{
    static ParamStore oneAlias()
    {
        ParamStore params;
        params.addEntry("PM", "m1", " m1 pmc01 ax1");
        params.addEntry("ALIAS", "a", " a m1 m1 1 1 0");
        return params;
    }
    Orvex *link = new Orvex;
    Body body{link, oneAlias()};
    QSignalSpy ended{&body, &Body::finished}, ready{link, &Orvex::ConnectionIsReady};

    explicit InProcess(quint16 port)
    {
        link->setLoginTimeLimit(std::chrono::milliseconds(1500));   // short, with room for a slow build
        link->setConnectTimeLimit(std::chrono::milliseconds(1500));
        body.connectToServer({"127.0.0.1", QString::number(port), "zerlint0", "zerlint0"}, {"k0", "k1", "k2"});
    }
    // The one end reported: "status why"; empty when none came in time.
    QString end()
    {
        if (ended.isEmpty() && !ended.wait(5000))
            return {};
        QCoreApplication::processEvents();   // whatever the socket reports after it, too
        return ended.size() == 1 ? ended.at(0).at(0).toString() + ' ' + ended.at(0).at(1).toString()
                                 : QStringLiteral("ended %1 times").arg(ended.size());
    }
};

class tst_link : public QObject
{
    Q_OBJECT

    Pipe pipe;
    Orvex link;   // logged in once over the pipe
    QStringList seen;   // the message signals raised, each with its arguments
public slots:
    void record(SMsg m) { seen << link.metaObject()->method(senderSignalIndex()).name() + ' ' + m.args.join(' '); }

private slots:
    void initTestCase()
    {
        const QMetaMethod record = metaObject()->method(metaObject()->indexOfSlot("record(SMsg)"));
        for (int i = 0; i < link.metaObject()->methodCount(); ++i) {
            if (link.metaObject()->method(i).parameterMetaType(0) == QMetaType::fromType<SMsg>())
                QVERIFY(connect(&link, link.metaObject()->method(i), this, record));
        }
        link.attach("zerlint0", {"k0", "k1", "k2"}, &pipe);
        pipe.feed("5\n");
        QCOMPARE(pipe.take(), "zerlint0 k2\n");
        // The line that comes with the answer is dropped, the part after it waits.
        pipe.feed("System>zerlint0 @login Ok:\nc>zerlint0 Foo\nc>zerlint0 Ba");
        pipe.feed("r\n");
        QCOMPARE(pipe.take(), "zerlint0>c @Bar Er: Undefined Command\n");
    }
    void init() { seen.clear(); }

    // Each word raises its own signal, or none where nothing listens; junk lines raise none. Then all it writes.
    void dispatchAndSenders()
    {
        QByteArray lines = "c>o Help x\r\n \tc>o\xc2\xa0Help\t y\nc>o\x0bHelp\x0c z\n";   // Unicode white space too
        QStringList raised{"AskHelp x", "AskHelp y", "AskHelp z"};
        for (const VocabEntry *e = gVocabulary; e->id != VocabEnd; ++e) {
            const QString word = e->name;
            const QString prefix = word.startsWith('@') ? "Ans" : word.startsWith('_') ? "Ev" : "Ask";
            const QString signal = word.startsWith("@Speed") ? "AnsSpeed" : prefix + word.mid(prefix == "Ask" ? 0 : 1);
            lines += "c7>zerlint0.ch1 " + word.toLatin1() + " 1 2\n";
            if (link.metaObject()->indexOfSignal(qPrintable(signal + "(SMsg)")) >= 0)
                raised << signal + " ch1 1 2";
        }
        QCOMPARE(raised.size(), 3 + 23);   // @SetValueREL, @Standby and @SyncRun have no taker
        pipe.feed(lines + "\n \t \r\ngarbage\nc>z\na b>z Help\nc>z @Unknown x\nc>z _Other 1\nc9>zl Foo\xc3\xa4 1 2\n");
        QCOMPARE(seen, raised);
        SMsg msg;
        msg.Parse("c.a>z.ch1 GetValue");
        link.SendReply(msg, "5 \u00b5m \u03a9");   // UTF-8 in, Latin-1 out
        link.SendCommand("System", "flgon", "pmc01");
        link.SendCommand("pmc01.ax3", "GetValue", "");
        link.SendEvent("gap", "_ChangedValue 5");
        link.SendEvent("", "_ChangedIsBusy 0");
        QCOMPARE(pipe.take(), "zl>c9 @Foo\xe4 Er: Undefined Command\nz.ch1>c.a @GetValue 5 \xb5m ?\nSystem flgon pmc01\n"
                              "pmc01.ax3 GetValue\nzerlint0.gap>System _ChangedValue 5\nzerlint0>System _ChangedIsBusy 0\n");
    }

    // A line of up to 1 MiB without its line end is handled, a longer one dropped whole, however it comes.
    void partialAndOverLongLines_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("raised");
        QTest::addColumn<bool>("dropped");
        const QByteArray bound = QByteArray("c>n Help 3").leftJustified(Orvex::MaxLineLength, ' ');
        const QByteArray next = "c>n Help 5\n";
        const QStringList third{"AskHelp 3"}, fifth{"AskHelp 5"};
        QTest::newRow("a line in pieces") << QByteArrayList{"a>n Help 1\nb>n Help 2\nc>n Help ", "3\n"}
                                          << QStringList{"AskHelp 1", "AskHelp 2", "AskHelp 3"} << false;
        QTest::newRow("the bound, then its end") << QByteArrayList{bound, "\n"} << third << false;
        QTest::newRow("the bound with its end") << QByteArrayList{bound + "\n"} << third << false;
        QTest::newRow("the bound, then more and its end") << QByteArrayList{bound, " \n" + next} << fifth << true;
        QTest::newRow("beyond the bound with its end") << QByteArrayList{bound + " \n" + next} << fifth << true;
        QTest::newRow("beyond the bound, the tail in pieces")
            << QByteArrayList{"c>n Help ", QByteArray(1 << 20, 'x'), " y>n Help 4", "\n" + next} << fifth << true;
    }
    void partialAndOverLongLines()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(bool, dropped);
        if (dropped)
            QTest::ignoreMessage(QtWarningMsg, "\"Dropped an inbound line longer than 1048576 bytes\"");
        for (const QByteArray &piece : pieces) {
            pipe.feed(piece);
            QVERIFY(link.heldBytes() <= Orvex::MaxLineLength);
        }
        QTEST(seen, "raised");
    }

    // Above the high mark of unsent output the link reads nothing more, until it is below the low one.
    void backPressure()
    {
        pipe.drain(Orvex::OutputHighWater + 1);
        pipe.feed("c>n Help\nc>n Help\n");
        pipe.drain(Orvex::OutputLowWater + 1);
        QCOMPARE(seen.size(), 0);
        pipe.drain(Orvex::OutputLowWater);
        QCOMPARE(seen.size(), 2);
    }

    // What the bus server does, step by step, and how the link ends: the challenge selects the
    // key, a refused login ends it with status 1, a connection lost at any step with status 0, once.
    void session_data()
    {
        // "<" sent, ">" the next line, "=" a line to come, "held": the link holds what was sent
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QString>("end");   // a pattern; empty: it serves
        QTest::addColumn<int>("ready");
        const QByteArray ok = "<System>zerlint0 @login Ok:\n", primed = "=pmc01.ax1 GetValue";
        const QString refused = "^1 The bus server refused the login: Er: Wrong key$";
        QTest::newRow("7 of 3 keys, spaces and CR around") << QByteArrayList{"< 7 \r\n", ">zerlint0 k1", ok} << "" << 1;
        QTest::newRow("not a number") << QByteArrayList{"<seven\n", ">zerlint0 k0", ok} << "" << 1;
        QTest::newRow("beyond 32 bits") << QByteArrayList{"<4294967303\n", ">zerlint0 k0", ok} << "" << 1;
        QTest::newRow("leading zero, decimal all the same") << QByteArrayList{"<010\n", ">zerlint0 k1", ok} << "" << 1;
        QTest::newRow("negative challenge") << QByteArrayList{"<-5\n"} << "^1 Challenge \\[-5\\] selects no key$" << 0;
        QTest::newRow("challenge in pieces")
            << QByteArrayList{"<123", "held", "<457\n", ">zerlint0 k1", ok, primed} << "" << 1;
        QTest::newRow("challenge of 64 bytes")
            << QByteArrayList{"<" + QByteArray("7").rightJustified(64) + "\n", ">zerlint0 k1", ok, primed} << "" << 1;
        const QString longChallenge = "^1 The challenge line from the bus server is longer than 64 bytes$";
        const QByteArray longNumber = "<" + QByteArray(65, '1');
        QTest::newRow("challenge of 65 bytes") << QByteArrayList{longNumber + "\n"} << longChallenge << 0;
        QTest::newRow("65 bytes, no line end yet") << QByteArrayList{longNumber} << longChallenge << 0;
        QTest::newRow("no challenge") << QByteArrayList{} << "^1 No challenge from the bus server within 1.5 s$" << 0;
        QTest::newRow("half an answer, then nothing")
            << QByteArrayList{"<0\n", ">zerlint0 k0", "<System>zerlint0 @login Ok:"}
            << "^1 No answer to the login from the bus server within 1.5 s$" << 0;
        QTest::newRow("login refused")
            << QByteArrayList{"<1\n", ">zerlint0 k1", "<System>zerlint0 @login Er: Wrong key\n"} << refused << 0;
        QTest::newRow("refusal in pieces")
            << QByteArrayList{"<1\n", ">zerlint0 k1", "<System>zerlint0 @log", "held",
                              "<in Er: Wrong key\nc>zerlint0 IsBusy\n"} << refused << 0;
        QTest::newRow("a refusal after the answer is none")
            << QByteArrayList{"<1\n", ">zerlint0 k1", ok, primed, "<System>zerlint0 @login Er: late\n"} << "" << 1;
        QTest::newRow("nor one from another sender")
            << QByteArrayList{"<1\n", ">zerlint0 k1", "<c>zerlint0 @login Er: Wrong key\n"} << "" << 1;
        QTest::newRow("connection refused") << QByteArrayList{"nobody"}
                                            << "^1 Cannot connect to the bus server 127.0.0.1 port \\d+: Connection refused$" << 0;
        QTest::newRow("no connection in time") << QByteArrayList{"full"}
                                               << "^1 Cannot connect to the bus server 127.0.0.1 port \\d+: Connection timed out$" << 0;
        const QList<std::pair<const char *, QByteArrayList>> steps{
            {"on arrival", {"arrival"}}, {"before the challenge", {}}, {"after the challenge", {"<0\n"}},
            {"after the login line", {"<0\n", ">zerlint0 k0"}}, {"serving", {"<0\n", ">zerlint0 k0", ok, primed}},
            {"GetValue waiting", {"<0\n", ">zerlint0 k0", ok, primed, "<c>zerlint0.a GetValue\n", primed}},
            {"mid-line", {"<0\n", ">zerlint0 k0", ok, primed, "<c>zerlint0 He"}}};
        for (const auto &[name, script] : steps) {
            // A reset on arrival may end the connection before it is taken, as one that is lost.
            for (const char *end : {"close", "reset"})
                QTest::addRow("%s, %s", name, end) << script + QByteArrayList{end}
                    << (script.value(0) == "arrival" ? "^0 The bus (server closed the connection|connection was lost: .+)$"
                        : end == std::string_view("close") ? "^0 The bus server closed the connection$"
                                                           : "^0 The bus connection was lost: Connection reset by peer$")
                    << int(script.contains(primed));
        }
    }
    void session()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QString, end);
        if (steps.value(0) == "arrival")
            return endedOnArrival(steps.last() == "reset", end);
        if (steps.value(0) == "full") {   // a server whose queue of connections not taken yet is full drops more
            QTcpServer full;
            full.setMaxPendingConnections(1);
            QVERIFY(full.listen(QHostAddress::LocalHost));
            ::listen(int(full.socketDescriptor()), 0);
            full.pauseAccepting();
            QTcpSocket first;
            first.connectToHost(QHostAddress::LocalHost, full.serverPort());
            QVERIFY(first.waitForConnected(5000));
            const QString ending = InProcess(full.serverPort()).end();
            QVERIFY2(QRegularExpression(end).match(ending).hasMatch(), qPrintable(ending));
            return;
        }
        std::optional<FakeBus> server(std::in_place);
        const quint16 port = server->port();
        if (steps.value(0) == "nobody")
            server.reset();
        InProcess node(port);
        QVERIFY(!server || server->waitForNode());
        for (const QByteArray &step : steps) {
            if (step.startsWith('<'))
                server->send(step.mid(1));
            else if (step.startsWith('>'))
                QCOMPARE(server->nextLine(), step.mid(1));
            else if (step.startsWith('='))
                QVERIFY(server->waitFor(step.mid(1)));
            else if (step == "held")
                QTRY_VERIFY(node.link->heldBytes() > 0);
            else if (step == "close" || step == "reset")
                step == "reset" ? server->reset() : server->node()->close();
        }
        if (end.isEmpty()) {
            server->send("c>zerlint0 IsBusy\n");
            QVERIFY(server->waitFor("zerlint0>c @IsBusy 0"));
            QCOMPARE(node.ended.size(), 0);
            QCOMPARE(node.link->state(), Orvex::State::Ready);
            QCOMPARE(keepAlive(int(node.link->socketDescriptor())), (QList<int>{1, 30, 10, 3}));
        } else {
            QByteArray late;   // what the node writes from here on, taken before the socket closes
            const auto take = [&] { late += server && server->node()->isOpen() ? server->node()->readAll() : QByteArray(); };
            if (server) {
                take();
                connect(server->node(), &QIODevice::readyRead, this, take);
                connect(server->node(), &QIODevice::aboutToClose, this, take);
            }
            const QString ending = node.end();
            QVERIFY2(QRegularExpression(end).match(ending).hasMatch(), qPrintable(ending));
            QCOMPARE(node.link->state(), Orvex::State::Ended);
            if (server) {   // the link lets the connection go, and answers nothing that came after its end
                QCOMPARE(server->connections(), 1);
                QTRY_COMPARE(server->node()->state(), QAbstractSocket::UnconnectedState);
                QVERIFY2(!late.contains(">c @"), late.constData());
            }
        }
        QTEST(int(node.ready.size()), "ready");
    }

    // A stop lets what was written go out first, then ends with status 0.
    void stop()
    {
        FakeBus server;
        InProcess node(server.port());
        QCOMPARE(server.login(0), "zerlint0 k0");
        QVERIFY(server.waitFor("pmc01.ax1 GetValue"));
        node.link->SendCommand("pmc01.ax1", "Stop", "");
        node.body.stop("SIGTERM");
        QCOMPARE(server.nextLine(), "pmc01.ax1 Stop");
        QCOMPARE(node.end(), "0 Stopped on SIGTERM");
    }

private:
    // The connection's keepalive switch, idle time, probe interval and probe count.
    static QList<int> keepAlive(int fd)
    {
        QList<int> values;
        for (const auto &[level, option] : {std::pair{SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE},
                                             {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT}}) {
            int value = -1;
            socklen_t length = sizeof value;
            ::getsockopt(fd, level, option, &value, &length);
            values << value;
        }
        return values;
    }

    // A server that ends each connection the moment it takes it, from a thread of its own so that
    // it is quicker than the link's own look at the new connection.
    void endedOnArrival(bool reset, const QString &end)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 8) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        std::atomic<int> accepted{0};
        std::thread server([&] {
            for (int peer; (peer = ::accept(listener, nullptr, nullptr)) >= 0; ::close(peer)) {
                ++accepted;
                const linger abortive{1, 0};
                if (reset)
                    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
        });
        const QString ending = InProcess(ntohs(address.sin_port)).end();
        ::shutdown(listener, SHUT_RDWR);   // ends the accept
        server.join();
        ::close(listener);
        QVERIFY2(QRegularExpression(end).match(ending).hasMatch(), qPrintable(ending));
        QCOMPARE(accepted.load(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
