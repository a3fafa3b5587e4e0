// The configuration reader over a few files that may INCLUDE each other: it ends, every entry
// has a key, and the lookups give the last value set for a key.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdint>

#include "config/paramstore.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The input's parts, split at NUL bytes, become these files in the working folder.
constexpr int Files = 4;
const char *const names[Files] = {"a", "b", "c", "d"};

struct Shape
{
    qint64 lines = 0;
    qint64 includes = 0;   // lines that may be an INCLUDE
};
Shape shapes[Files];

// The most lines one read of a file can take in: its own, and for each line that may be an
// INCLUDE those of the largest read of a file not already being read.
qint64 mostLines(int file, unsigned reading)
{
    qint64 deepest = 0;
    for (int other = 0; other < Files; ++other) {
        if (!(reading & (1u << other)))
            deepest = std::max(deepest, mostLines(other, reading | (1u << other)));
    }
    return shapes[file].lines + shapes[file].includes * deepest;
}

bool isSeparator(QChar c)
{
    return QStringView(u" \t\n\v\f\r").contains(c);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    // On a memory file system when there is one: the files are rewritten for every input.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir folder(base + QStringLiteral("/fuzz_config-XXXXXX"));
    require(folder.isValid() && QDir::setCurrent(folder.path()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Names only, no paths: the reader sees these files and nothing else.
    QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> parts = input.replace('/', '_').split('\0');
    QStringList lines;
    for (int i = 0; i < Files; ++i) {
        QFile file(QString::fromLatin1(names[i]));
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(parts.value(i));
        file.close();
        require(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QTextStream in(&file);
        shapes[i] = Shape();
        for (QString line; in.readLineInto(&line); lines.append(line)) {
            ++shapes[i].lines;
            shapes[i].includes += line.toUpper().contains(QLatin1String("INCLUDE"));
        }
    }

    ParamStore store;
    require(store.readFile(QStringLiteral("a")));
    const QList<ParamEntry> &entries = store.allEntries();
    require(entries.size() <= mostLines(0, 1u));

    QHash<QString, QString> last, lastAnyCase;
    for (const ParamEntry &e : entries) {
        // Only a quoted key can be empty or hold a separator.
        const bool bare = !e.key.isEmpty() && std::none_of(e.key.begin(), e.key.end(), isSeparator);
        const QString quoted = QLatin1Char('"') + e.key;
        require(bare || std::any_of(lines.cbegin(), lines.cend(),
                                    [&](const QString &line) { return line.contains(quoted); }));
        last.insert(e.key, e.value);
        lastAnyCase.insert(e.key.toUpper(), e.value);
    }
    for (auto it = last.cbegin(); it != last.cend(); ++it) {
        // Two different defaults: both come back as the value only when the key is found.
        for (const QString &fallback : {QStringLiteral("0"), QStringLiteral("1")}) {
            require(store.get(it.key(), fallback) == it.value());
            require(store.getIgnoreCase(it.key(), fallback) == lastAnyCase.value(it.key().toUpper()));
        }
    }
    return 0;
}
