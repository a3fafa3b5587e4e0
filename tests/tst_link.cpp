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
struct Pipe : QIODevice
{
    Pipe() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return pending.contains('\n') || QIODevice::canReadLine(); }
    qint64 bytesToWrite() const override { return unsent; }
    void feed(const QByteArray &bytes) { pending += bytes; emit readyRead(); }
    void drain(qint64 left) { unsent = left; emit bytesWritten(1); }
    QByteArray take() { return std::exchange(written, {}); }
    qint64 readData(char *data, qint64 size) override
    {
        const qsizetype n = qMin(qsizetype(size), pending.size());
        if (data && n > 0)   // no buffer: the bytes are skipped
            std::memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override { written.append(data, size); return size; }
    QByteArray pending, written;
    qint64 unsent = 0;
};

// The node in this process, over one alias, connecting to a bus server on the port.
struct InProcess
{
    Orvex *link = new Orvex;
    Body body{link, [] { ParamStore params; params.addEntry("PM", "m1", " m1 pmc01 ax1");
                         params.addEntry("ALIAS", "a", " a m1 m1 1 1 0"); return params; }()};
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
        link.SendEvent("", "_ChangedIsBusy 0");
        QCOMPARE(pipe.take(), "zl>c9 @Foo\xe4 Er: Undefined Command\nz.ch1>c.a @GetValue 5 \xb5m ?\n"
                              "zerlint0>System _ChangedIsBusy 0\n");
    }

    // The split of an inbound line into an SMsg, from text and from the bytes off the connection.
    void parse_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("fields");   // from|to|toCh|command|params
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<LineForm>("form");
        QTest::addColumn<VocabId>("id");
        const auto row = [](const char *name, const QByteArray &line, const QString &fields, const QStringList &args,
                            VocabId id = VocabEnd, LineForm form = FormMessage) {
            QTest::newRow(name) << line << fields << args << form << id;
        };
        row("channel in address", "c>zl.ch1 SetValue 10", "c|zl.ch1|ch1|SetValue|ch1", {"ch1", "10"}, VocabSetValue);
        row("runs of white space, leading and trailing", "  \t a>b \t\v  Help\f  x    y \r ", "a|b||Help|x y",
            {"x", "y"}, VocabHelp);
        row("Unicode white space", "a>b\xc2\xa0Help\xe2\x80\x83x", "a|b||Help|x", {"x"}, VocabHelp);
        row("sub-address, no parameters", "a.x.y>b.c.d Stop", "a.x.y|b.c.d|c.d|Stop|c.d", {"c.d"}, VocabStop);
        row("known event", "pmc01>zl _ChangedValue 5", "pmc01|zl||_ChangedValue|5", {"5"}, VocabChangedValue,
            FormEvent);
        row("unknown event, no parameters", "ctl>zl _Whatever", "ctl|zl||_Whatever|", {}, VocabEnd, FormEvent);
        row("known reply", "ctl>zl @GetValue 1", "ctl|zl||@GetValue|1", {"1"}, VocabAnsGetValue);
        row("unknown reply", "ctl>zl @Foo 1", "ctl|zl||@Foo|1", {"1"});
        row("word in lower case", "c>z help", "c|z||help|", {});
        row("no arrow", " hello   world ", "||||hello world", {}, VocabEnd, FormIncomplete);
        row("arrow, no space", "a.x>b", "a.x||||b", {}, VocabEnd, FormIncomplete);
        row("space before arrow", "a b>zl Help", "||||a b>zl Help", {}, VocabEnd, FormIncomplete);
        row("blank", " \t ", "||||", {}, VocabEnd, FormIncomplete);
    }
    void parse()
    {
        QFETCH(QByteArray, line);
        QString room;
        for (const bool bytes : {false, true}) {
            SMsg m;   // a full earlier line, so every field must be cleared
            m.Parse(QStringLiteral("ctl.ax>zerlint.gap @GetValue 15 16"));
            const LineForm form = bytes ? m.parseBytes(line, room) : m.Parse(QString::fromUtf8(line));
            QTEST(QStringList({m.from, m.to, m.toCh, m.command, m.params}).join('|'), "fields");
            QTEST(m.args, "args");
            QTEST(form, "form");
            QTEST(m.form, "form");
            if (form != FormIncomplete)
                QTEST(m.cmdId, "id");
        }
    }

    // A line of up to 1 MiB without its line end is handled, a longer one dropped whole, however it comes.
    void partialAndOverLongLines_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("raised");
        const auto row = [](const char *name, const QByteArrayList &pieces, const QString &raised = "AskHelp 3") {
            QTest::newRow(name) << pieces << raised.split('|');
        };
        const QByteArray bound = QByteArray("c>n Help 3").leftJustified(Orvex::MaxLineLength, ' ');
        const QByteArray next = "c>n Help 5\n";
        row("a line in pieces", {"a>n Help 1\nb>n Help 2\nc>n Help ", "3\n"}, "AskHelp 1|AskHelp 2|AskHelp 3");
        row("the bound, then its end", {bound, "\n"});
        row("the bound with its end", {bound + "\n"});
        // Dropped: only the line after it raises a signal.
        row("the bound, then more and its end", {bound, " \n" + next}, "AskHelp 5");
        row("beyond the bound with its end", {bound + " \n" + next}, "AskHelp 5");
        row("beyond the bound, the tail in pieces", {"c>n Help ", QByteArray(1 << 20, 'x'), " y>n Help 4", "\n" + next},
            "AskHelp 5");
    }
    void partialAndOverLongLines()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QStringList, raised);
        if (raised == QStringList{"AskHelp 5"})
            QTest::ignoreMessage(QtWarningMsg, "\"Dropped an inbound line longer than 1048576 bytes\"");
        for (const QByteArray &piece : pieces) {
            pipe.feed(piece);
            QVERIFY(link.heldBytes() <= Orvex::MaxLineLength);
        }
        QCOMPARE(seen, raised);
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
    // key, a refused login ends it with status 1, a connection lost at any step with status 0, once;
    // a stop lets what was written go out first, then ends with status 0.
    void session_data()
    {
        // "<" sent, ">" the next line, "=" a line to come, "held": the link holds what was sent,
        // "stop": a Stop to a controller, then the node's stop
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QString>("end");   // a pattern; empty: it serves
        QTest::addColumn<int>("ready");
        const QByteArray ok = "<System>zerlint0 @login Ok:\n", primed = "=pmc01.ax1 GetValue";
        // Ready once where it serves, and where it ends after reading its controller.
        const auto row = [&primed](const QString &name, const QByteArrayList &steps, const QString &end = {}) {
            QTest::newRow(qPrintable(name)) << steps << end << int(end.isEmpty() || steps.contains(primed));
        };
        const QString refused = "^1 The bus server refused the login: Er: Wrong key$";
        row("7 of 3 keys, spaces and CR around", {"< 7 \r\n", ">zerlint0 k1", ok});
        row("not a number", {"<seven\n", ">zerlint0 k0", ok});
        row("beyond 32 bits", {"<4294967303\n", ">zerlint0 k0", ok});
        row("leading zero, decimal all the same", {"<010\n", ">zerlint0 k1", ok});
        row("negative challenge", {"<-5\n"}, "^1 Challenge \\[-5\\] selects no key$");
        row("challenge in pieces", {"<123", "held", "<457\n", ">zerlint0 k1", ok, primed});
        row("challenge of 64 bytes", {"<" + QByteArray("7").rightJustified(64) + "\n", ">zerlint0 k1", ok, primed});
        const QString longChallenge = "^1 The challenge line from the bus server is longer than 64 bytes$";
        row("challenge of 65 bytes", {"<" + QByteArray(65, '1') + "\n"}, longChallenge);
        row("65 bytes, no line end yet", {"<" + QByteArray(65, '1')}, longChallenge);
        row("no challenge", {}, "^1 No challenge from the bus server within 1.5 s$");
        row("half an answer, then nothing", {"<0\n", ">zerlint0 k0", "<System>zerlint0 @login Ok:"},
            "^1 No answer to the login from the bus server within 1.5 s$");
        row("login refused", {"<1\n", ">zerlint0 k1", "<System>zerlint0 @login Er: Wrong key\n"}, refused);
        row("refusal in pieces", {"<1\n", ">zerlint0 k1", "<System>zerlint0 @log", "held",
                                  "<in Er: Wrong key\nc>zerlint0 IsBusy\n"}, refused);
        row("a refusal after the answer is none",
            {"<1\n", ">zerlint0 k1", ok, primed, "<System>zerlint0 @login Er: late\n"});
        row("nor one from another sender", {"<1\n", ">zerlint0 k1", "<c>zerlint0 @login Er: Wrong key\n"});
        const QString cannot = "^1 Cannot connect to the bus server 127.0.0.1 port \\d+: Connection ";
        row("connection refused", {"nobody"}, cannot + "refused$");
        row("no connection in time", {"full"}, cannot + "timed out$");
        row("stop", {"<0\n", ">zerlint0 k0", ok, primed, "stop", ">pmc01.ax1 Stop"}, "^0 Stopped on SIGTERM$");
        const QList<std::pair<const char *, QByteArrayList>> steps{
            {"on arrival", {"arrival"}}, {"before the challenge", {}}, {"after the challenge", {"<0\n"}},
            {"after the login line", {"<0\n", ">zerlint0 k0"}}, {"serving", {"<0\n", ">zerlint0 k0", ok, primed}},
            {"GetValue waiting", {"<0\n", ">zerlint0 k0", ok, primed, "<c>zerlint0.a GetValue\n", primed}},
            {"mid-line", {"<0\n", ">zerlint0 k0", ok, primed, "<c>zerlint0 He"}}};
        for (const auto &[name, script] : steps) {
            // A reset on arrival may end the connection before it is taken, as one that is lost.
            for (const char *end : {"close", "reset"})
                row(QString(name) + ", " + end, script + QByteArrayList{end},
                    script.value(0) == "arrival" ? "^0 The bus (server closed the connection|connection was lost: .+)$"
                    : end == std::string_view("close") ? "^0 The bus server closed the connection$"
                                                       : "^0 The bus connection was lost: Connection reset by peer$");
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
            else if (step == "stop") {
                node.link->SendCommand("pmc01.ax1", "Stop", "");
                node.body.stop("SIGTERM");
            }
        }
        if (end.isEmpty()) {
            server->send("c>zerlint0 IsBusy\n");
            QVERIFY(server->waitFor("zerlint0>c @IsBusy 0"));
            QCOMPARE(node.ended.size(), 0);
            QCOMPARE(node.link->state(), Orvex::State::Ready);
            // The connection's keepalive: switch, idle time, probe interval and probe count.
            const std::tuple<int, int, int> keepAlive[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                {IPPROTO_TCP, TCP_KEEPIDLE, 30}, {IPPROTO_TCP, TCP_KEEPINTVL, 10}, {IPPROTO_TCP, TCP_KEEPCNT, 3}};
            for (const auto &[level, option, want] : keepAlive) {
                int value = -1;
                socklen_t length = sizeof value;
                ::getsockopt(int(node.link->socketDescriptor()), level, option, &value, &length);
                QCOMPARE(value, want);
            }
        } else {
            QByteArray late;   // what the node writes from here on, taken before the socket closes
            const auto take = [&] { late += server->node()->isOpen() ? server->node()->readAll() : QByteArray(); };
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

private:
    // A server that ends each connection the moment it takes it, from a thread of its own so that
    // it is quicker than the link's own look at the new connection.
    void endedOnArrival(bool reset, const QString &end)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
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
