#include "fakebus.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>

FakeBus::FakeBus()
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *next = server.nextPendingConnection();
        ++accepted;
        if (peer)   // one node per bus
            next->close();
        else
            peer = next;
    });
}

bool FakeBus::waitForNode(int timeoutMs)
{
    return QTest::qWaitFor([this] { return peer != nullptr; }, timeoutMs);
}

void FakeBus::send(const QByteArray &bytes)
{
    if (peer && peer->write(bytes) >= 0)
        peer->flush();
}

QByteArray FakeBus::login(int challenge, const QByteArray &answer)
{
    if (!waitForNode())
        return QByteArray();
    send(QByteArray::number(challenge) + "\n");
    const QByteArray line = nextLine();
    if (!line.isNull())
        send(answer);
    return line;
}

void FakeBus::reset()
{
    const linger abortive{1, 0};
    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    peer->abort();
}

void FakeBus::pauseReading(bool paused)
{
    // A small buffer that is not emptied makes Qt stop reading, and the kernel's window closes.
    peer->setReadBufferSize(paused ? 4096 : 0);
}

QByteArray FakeBus::nextLine(int timeoutMs)
{
    // Woken by the bytes themselves rather than by polling, so waits cost no more than the wire.
    const QDeadlineTimer deadline(timeoutMs);
    while (!(peer && peer->canReadLine()) && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(deadline.remainingTime(), &loop, &QEventLoop::quit);
        connect(&server, &QTcpServer::newConnection, &loop, &QEventLoop::quit);
        if (peer)
            connect(peer, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return peer && peer->canReadLine() ? peer->readLine().chopped(1) : QByteArray();
}

bool FakeBus::waitFor(const QByteArray &want, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    skipped.clear();
    for (QByteArray line; !(line = nextLine(int(qMax<qint64>(deadline.remainingTime(), 0)))).isNull();) {
        if (line == want)
            return true;
        skipped.append(line);
    }
    return false;
}

NodeProcess::NodeProcess()
{
    proc.setWorkingDirectory(folder.path());
    QObject::connect(&proc, &QProcess::readyReadStandardError, [this] { errors += proc.readAllStandardError(); });
}

NodeProcess::~NodeProcess()
{
    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

void NodeProcess::writeFile(const QString &name, const QByteArray &contents)
{
    QFile file(folder.filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(contents);
    if (name.endsWith(".key"))   // the login secrets, as an operator keeps them
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void NodeProcess::setEnvironment(const QString &name, const QString &value)
{
    QProcessEnvironment environment = proc.processEnvironment();
    if (environment.isEmpty())
        environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    proc.setProcessEnvironment(environment);
}

bool NodeProcess::start(const QStringList &args)
{
    proc.start(qEnvironmentVariable("ZERLINT_BIN", QCoreApplication::applicationDirPath() + "/zerlint"), args);
    return proc.waitForStarted(5000);
}

int NodeProcess::waitForExit(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return proc.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

qint64 NodeProcess::residentKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(proc.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray NodeProcess::log()
{
    QFile file(journal);
    if (!journal.isEmpty() && file.open(QIODevice::ReadOnly))
        return file.readAll();
    return errors += proc.readAllStandardError();
}

void NodeProcess::logToJournal()
{
    journal = folder.filePath("journal");
    QFile(journal).open(QIODevice::WriteOnly);
    struct stat file = {};
    ::stat(QFile::encodeName(journal).constData(), &file);
    setEnvironment("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(file.st_dev).arg(file.st_ino));
    proc.setStandardErrorFile(journal);
}

QByteArray NodeProcess::output()
{
    return printed += proc.readAllStandardOutput();
}

bool NodeProcess::waitForLog(const QByteArray &text, int timeoutMs)
{
    return QTest::qWaitFor([this, &text] { return log().contains(text); }, timeoutMs);
}

bool ServedNode::start(const QByteArray &defs)
{
    proc.writeFile("zerlint0.key", "k0 k1 k2\n");
    proc.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(bus.port()) + "\n" + defs);
    if (!proc.start() || bus.login(7) != "zerlint0 k1")
        return false;
    // Lines that come with the server's answer are dropped: probe until one is served.
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        bus.send("probe>zerlint0 IsBusy\n");
        served = bus.waitFor("zerlint0>probe @IsBusy 0", 100);
        priming += bus.skipped;
    }
    priming += exchange("");
    priming.removeAll("zerlint0>probe @IsBusy 0");
    return served;
}

QByteArrayList ServedNode::exchange(const QByteArray &input)
{
    bus.send(input + "sync>zerlint0 IsBusy\n");
    return bus.waitFor("zerlint0>sync @IsBusy 0") ? bus.skipped : bus.skipped << "(no closing answer)";
}
