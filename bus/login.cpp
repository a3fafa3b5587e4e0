#include "bus/orvex.h"

#include <QDebug>

// The link's login: the challenge, the login line, the server's answer, each step in its time.

namespace {

// Index into a key list of the given size for a challenge; -1 when none can be chosen.
int keyIndex(int challenge, qsizetype keyCount)
{
    if (keyCount <= 0 || challenge < 0)
        return -1;
    return int(challenge % keyCount);
}

} // namespace

void Orvex::awaitLoginStep()
{
    timer.start(loginTimeLimit);
}

void Orvex::timeUp()
{
    if (linkState == State::Stopping)
        return end(0, stopReason);   // what was not written by now goes with the socket
    if (linkState != State::AwaitingChallenge && linkState != State::LoginSent)
        return;
    const QString limit = QString::number(loginTimeLimit.count() / 1000.0);
    if (linkState == State::AwaitingChallenge)
        end(1, tr("No challenge from the bus server within %1 s").arg(limit));
    else
        end(1, tr("No answer to the login from the bus server within %1 s").arg(limit));
}

void Orvex::readChallenge()
{
    // The number is taken from the whole line only: a part of it would select another key.
    const QByteArray start = transport->peek(MaxChallengeLength + 1);
    const qsizetype lineEnd = start.indexOf('\n');
    if (lineEnd < 0) {
        if (start.size() > MaxChallengeLength)
            end(1, tr("The challenge line from the bus server is longer than %1 bytes").arg(MaxChallengeLength));
        return;
    }
    transport->skip(lineEnd + 1);
    const int challenge = start.left(lineEnd).simplified().toInt(nullptr, 10);
    const int index = keyIndex(challenge, keys.size());
    if (index < 0) {
        end(1, tr("Challenge [%1] selects no key").arg(challenge));
        return;
    }
    linkState = State::LoginSent;
    awaitLoginStep();
    outbound += name;
    outbound += QLatin1Char(' ');
    outbound += keys.at(index);
    outbound += QLatin1Char('\n');
    lineWritten();
    qInfo() << tr("Login line written as %1").arg(name);
}

void Orvex::takeLoginAnswer()
{
    if (!transport->canReadLine())
        return;   // the rest of the answer is still to come
    while (transport->canReadLine()) {
        SMsg answer;
        answer.Parse(QString::fromUtf8(transport->readLine()));
        if (loginRefused(answer))
            return;
    }
    linkState = State::Ready;
    timer.stop();
    qInfo() << tr("Logged in to the bus server as %1").arg(name);
    // The priming lines go out together, like the answers to a read.
    holding = true;
    emit ConnectionIsReady(this);
    holding = false;
    flushOutbound();
}

bool Orvex::loginRefused(const SMsg &answer)
{
    // Serving under a refused login would only look like service; the key or name is wrong.
    if (answer.from == QLatin1String("System") && answer.command == QLatin1String("@login")
        && answer.params.startsWith(QLatin1String("Er:"))) {
        end(1, tr("The bus server refused the login: %1").arg(answer.params));
        return true;
    }
    return false;
}
