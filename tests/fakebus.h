#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <csignal>

// A bus server in the test process: listens on 127.0.0.1 (free port), takes one node,
// records every line it writes and lets the test write lines back.
class FakeBus : public QObject
{
    Q_OBJECT

public:
    FakeBus();

    quint16 port() const { return server.serverPort(); }
    bool waitForNode(int timeoutMs = 5000);
    QTcpSocket *node() const { return peer; }
    // Connections the node opened.
    int connections() const { return accepted; }

    // Writes the bytes to the node.
    void send(const QByteArray &bytes);
    // Ends the connection with a reset rather than a close.
    void reset();
    // Stops taking what the node writes, so that it piles up in the node; and goes on.
    void pauseReading(bool paused);
    // Challenge, login line, answer; returns the login line the node wrote (null on time-out).
    QByteArray login(int challenge = 0, const QByteArray &answer = "System>zerlint0 @login Ok:\n");

    // Next line the node wrote (without "\n"); a null array on time-out.
    QByteArray nextLine(int timeoutMs = 5000);
    // Lines until one equals want (consumed); false on time-out. Skipped lines are kept in skipped.
    bool waitFor(const QByteArray &want, int timeoutMs = 5000);
    QList<QByteArray> skipped;

private:
    QTcpServer server;
    QTcpSocket *peer = nullptr;
    int accepted = 0;
};

// The real zerlint binary run in a temporary folder.
class NodeProcess
{
public:
    NodeProcess();
    ~NodeProcess();

    QString dir() const { return folder.path(); }
    void writeFile(const QString &name, const QByteArray &contents);
    // Starts the node with the arguments in the folder.
    bool start(const QStringList &args = {});
    // Waits for the process to end; its exit status, or -1 on time-out or crash.
    int waitForExit(int timeoutMs = 10000);
    // What the node wrote on stderr (its debug log) and on stdout so far.
    QByteArray log();
    QByteArray output();
    bool waitForLog(const QByteArray &text, int timeoutMs = 5000);
    // The next start writes its log to a file that JOURNAL_STREAM names, as the journal's stream is.
    void logToJournal();
    // Sends the process a signal.
    void signal(int number) { ::kill(pid_t(proc.processId()), number); }
    // Sets a variable in the environment of the next start.
    void setEnvironment(const QString &name, const QString &value);
    // Resident memory of the process in KiB, from /proc; -1 when unknown.
    qint64 residentKiB() const;

private:
    QTemporaryDir folder;
    QProcess proc;
    QByteArray errors;
    QByteArray printed;
    QString journal;   // the file the log goes to, when set
};

// A node started against a fake bus with its definitions, logged in and serving.
struct ServedNode
{
    FakeBus bus;
    NodeProcess proc;
    QByteArrayList priming;   // what the node wrote after the login

    bool start(const QByteArray &defs);
    // What the node wrote for the lines: all up to the answer to a closing IsBusy.
    QByteArrayList exchange(const QByteArray &input);
};
