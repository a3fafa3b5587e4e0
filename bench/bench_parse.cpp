// Throughput of the line split and the vocabulary lookup, the work done for every inbound line.
//   build/bin/bench_parse [lines]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include "bus/smsg.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const long count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLong() : 1000000;
    const QString samples[] = {
        QStringLiteral("client7>zerlint0.gap SetValue 100"),
        QStringLiteral("pmc01.ax1>zerlint0 _ChangedValue 123456"),
        QStringLiteral("pmc02>zerlint0 @GetValue -4000"),
        QStringLiteral("client7>zerlint0 Help GetValue"),
        QStringLiteral("   a>b    Foo   x    y  "),
    };
    const int kinds = int(sizeof(samples) / sizeof(samples[0]));

    SMsg msg;
    long forms = 0;
    QElapsedTimer timer;
    timer.start();
    for (long i = 0; i < count; ++i)
        forms += msg.Parse(samples[i % kinds]);
    const qint64 ns = timer.nsecsElapsed();

    QTextStream out(stdout);
    out << "split " << count << " lines in " << ns / 1e6 << " ms: " << double(ns) / count
        << " ns per line, " << count * 1e9 / ns / 1e6 << " M lines/s (checksum " << forms << ")\n"
        << "reproduce: build/bin/bench_parse " << count << "\n";
    return 0;
}
