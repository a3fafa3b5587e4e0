#pragma once

#include <QByteArray>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

class QSocketNotifier;

// One client on the bus: logs in, sends lines, shows every line with a time stamp and its
// direction, and ends when a received line matches, when the bus has gone quiet after the
// last line, or when time is up.
class ClientSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ClientSession)

public:
    // Exit statuses.
    enum Status { Done = 0, NoMatch = 1, Failed = 2 };

    struct Options
    {
        QString name = QStringLiteral("client");
        QStringList keys;
        QString server = QStringLiteral("127.0.0.1");
        quint16 port = 60570;
        QStringList lines;            // sent after the login, in order
        bool readInput = false;       // then standard input, line by line, until its end
        QRegularExpression until;     // empty pattern: no waiting for a line
        int timeoutMs = 0;            // 0: no limit
        int drainMs = 500;            // quiet time that ends a session without "until"
    };

    explicit ClientSession(const Options &options, QObject *parent = nullptr);

    void start();

signals:
    void finished(int status);

private:
    enum State { Connecting, AwaitingChallenge, AwaitingAnswer, Ready, Closed };

    void readSocket();
    void received(const QString &line);
    void send(const QString &line);
    void readInput();
    void inputEnded();
    void lost();
    void finish(int status, const QString &why = QString());
    void show(const char *direction, const QString &text);
    bool waitsForMatch() const { return !options.until.pattern().isEmpty(); }

    const Options options;
    State state = Connecting;
    QTcpSocket socket;
    QByteArray socketBuffer;
    QByteArray inputBuffer;
    QSocketNotifier *input = nullptr;
    bool inputOpen = false;
    QStringList queued;     // lines written before the login was over
    QTimer drain;
    QTimer deadline;
    bool reported = false;
};
