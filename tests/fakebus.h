#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>

class QTcpSocket;

// A bus server in the test process: listens on 127.0.0.1 (free port), takes one node,
// records every line it writes and lets the test write lines back.
class FakeBus : public QObject
{
    Q_OBJECT

public:
    FakeBus();
    ~FakeBus() override;

    quint16 port() const { return server.serverPort(); }
    bool waitForNode(int timeoutMs = 5000);
    QTcpSocket *node() const { return peer; }

    // Writes the raw bytes to the node.
    void send(const QByteArray &bytes);
    // Ends the connection with a reset rather than a close.
    void reset();
    // Stops taking what the node writes, so that it piles up in the node; and goes on.
    void pauseReading(bool paused);
    // Connections the node opened.
    int connections() const { return accepted; }
    // Challenge, login line, answer; returns the login line the node wrote ("" on time-out).
    QByteArray login(int challenge = 0, const QByteArray &answer = "System>zerlint0 @login Ok:\n");

    // Next line the node wrote (without "\n"); a null array on time-out.
    QByteArray nextLine(int timeoutMs = 5000);
    // Lines until one equals want (consumed); false on time-out. Skipped lines are kept in skipped.
    bool waitFor(const QByteArray &want, int timeoutMs = 5000);
    QList<QByteArray> skipped;

signals:
    void lineArrived();

private:
    void readPeer();

    QTcpServer server;
    QTcpSocket *peer = nullptr;
    int accepted = 0;
    bool readingPaused = false;
    QByteArray buffer;
    QList<QByteArray> lines;
};

// The real zerlint binary run in a temporary folder with a config and a key file.
class NodeProcess
{
public:
    NodeProcess();
    ~NodeProcess();

    QString dir() const { return folder.path(); }
    // Writes a file into the folder.
    void writeFile(const QString &name, const QByteArray &contents);
    // Starts the node with the arguments (default: none) in the folder.
    bool start(const QStringList &args = {});
    // Waits for the process to end; its exit status, or -1 on time-out or crash.
    int waitForExit(int timeoutMs = 10000);
    // What the node wrote on stderr so far (its debug log).
    QByteArray log();
    // What it wrote on stdout so far.
    QByteArray output();
    // Sets a variable in the environment of the next start.
    void setEnvironment(const QString &name, const QString &value);
    // Resident memory of the process in KiB, from /proc; -1 when unknown.
    qint64 residentKiB() const;
    // Waits until the debug log holds the text.
    bool waitForLog(const QByteArray &text, int timeoutMs = 5000);

    static QString binary();

private:
    QTemporaryDir folder;
    QProcess proc;
    QByteArray errors;
    QByteArray printed;
};
