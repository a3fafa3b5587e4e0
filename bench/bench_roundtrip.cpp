// Request-to-reply times of the real node over loopback: Help (answered at once), SetValue
// (two controller commands, then "Ok:") and GetValue (answered when a controller replies).
//   build/bin/bench_roundtrip [rounds]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

#include "../tests/fakebus.h"

namespace {

struct Figures
{
    std::vector<double> us;

    void print(QTextStream &out, const char *what)
    {
        std::sort(us.begin(), us.end());
        if (us.empty())
            return;
        out << what << ": median " << us[us.size() / 2] << " us, p99 "
            << us[std::min(us.size() - 1, us.size() * 99 / 100)] << " us, max " << us.back()
            << " us over " << us.size() << " rounds\n";
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 2000;
    QTextStream out(stdout);

    FakeBus bus;
    NodeProcess node;
    if (qEnvironmentVariableIsEmpty("ZERLINT_BIN"))
        qputenv("ZERLINT_BIN", (QCoreApplication::applicationDirPath() + "/zerlint").toLocal8Bit());
    node.writeFile("zerlint0.key", "k0\n");
    node.writeFile("config.cfg", "ORVEX_SERVER 127.0.0.1\nORVEX_PORT " + QByteArray::number(bus.port())
                                     + "\nPM m1 pmc01 ax1\nPM m2 pmc01 ax2\nALIAS gap m1 m2 1 1 0\n");
    if (!node.start() || bus.login(0).isNull()) {
        out << "the node did not start or log in\n" << node.log();
        return 1;
    }
    for (int i = 0; i < 6; ++i)
        bus.nextLine();   // four flgon lines, two value requests
    bus.send("pmc01.ax1>zerlint0 @GetValue 100\npmc01.ax2>zerlint0 @GetValue 50\n");

    Figures help, move, value;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        bus.send("c>zerlint0 Help\n");
        if (bus.nextLine().isNull())
            break;
        help.us.push_back(timer.nsecsElapsed() / 1e3);

        timer.start();
        bus.send("c>zerlint0.gap SetValue " + QByteArray::number(150 + i % 100) + "\n");
        bus.nextLine();
        bus.nextLine();
        if (bus.nextLine().isNull())
            break;
        move.us.push_back(timer.nsecsElapsed() / 1e3);

        timer.start();
        bus.send("c>zerlint0.gap GetValue\n");
        bus.nextLine();
        bus.nextLine();
        bus.send("pmc01.ax1>zerlint0 @GetValue 100\n");
        if (bus.nextLine().isNull())
            break;
        value.us.push_back(timer.nsecsElapsed() / 1e3);
    }
    help.print(out, "Help     ");
    move.print(out, "SetValue ");
    value.print(out, "GetValue ");
    out << "reproduce: build/bin/bench_roundtrip " << rounds << "\n";
    return 0;
}
