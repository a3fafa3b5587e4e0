#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <array>

#include "config/paramstore.h"

namespace {

QStringList gLog;   // the debug messages of the running test; other messages go on as before
QtMessageHandler gPrevious = nullptr;
void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    type == QtDebugMsg ? gLog.append(text) : gPrevious(type, context, text);
}

} // namespace

class tst_config : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { gPrevious = qInstallMessageHandler(capture); }
    void cleanup() { QDir::setCurrent(QDir::tempPath()); }   // out of the row's folder before it goes
    void startUp_data();
    void startUp();
    void lookups();
};

// The command line, then the chosen file: the entries in the store and the diagnostics written.
void tst_config::startUp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("files");   // "name:contents"; files c1 and c2 are always there
    QTest::addColumn<QStringList>("entries");   // key|value|rest
    QTest::addColumn<QStringList>("log");
    const auto row = [](const char *name, const QStringList &args, const QStringList &files,
                        const QStringList &entries, const QStringList &log = {}) {
        QTest::newRow(name) << args << files << entries << log;
    };
    const QString cantOpen = QStringLiteral("Can't open config file :  \"%1\"");
    const QString close = QStringLiteral("\"In a line [%1] item is started from not quote but ended by quote\"");
    const QString cycle = QStringLiteral("INCLUDE leads back to a file being read, not read again :  \"%1\"");
    const QStringList cfg{"config.cfg:FROM default\n"};

    row("byte-order mark, CR LF, blank lines, key alone, contraction keeps hash", {},
        {"config.cfg:\ufeffKEY\r\n\n   \n# c\n  \t# d\n\u00a0\u00a0\r\nK2   # c\nK don't # note\n"},
        {"KEY||", "K2||   ", "K|don't| don't # note"});
    row("bare: white space around, no-break space, apostrophes, quote inside", {},
        {"config.cfg: \t\fA\t 1\na\u00a0b c\n'a b' c\nab\"cd x\n"},
        {"A|1|\t 1", "a\u00a0b|c| c", "'a|b'| b' c", "ab\"cd|x| x"});
    row("bare item ends with quote", {}, {"config.cfg:V abc\" x\nW abc\"\n"}, {"V|abc\"| abc\" x", "W|abc\"| abc\""},
        {close.arg(" abc\\\" x"), close.arg(" abc\\\"")});
    row("quoted: hash inside, key with spaces, empty value", {},
        {"config.cfg:K \"a#b\" 'c#d' # e\n  \"my key\"v w\nE \"\" x\n"},
        {"K|a#b| \"a#b\" 'c#d' ", "my key|v|v w", "E|| \"\" x"});
    row("unterminated quote, apostrophe ends it for comments", {}, {"config.cfg:K \"ab'c # x\nL 1\n"},
        {"K|ab'c | \"ab'c ", "L|1| 1"},
        {"\"In a line [ \\\"ab'c ] item is started from quote but not ended by quote\""});
    row("nested include in place, any case, empty name", {},
        {"config.cfg:A 1\ninclude a\nZ 9\n", "a:Include b more items\nB 2\n", "b:X 1\niNcLuDe\n"},
        {"A|1| 1", "X|1| 1", "B|2| 2", "Z|9| 9"}, {cantOpen.arg("")});
    row("quoted include name, missing include", {},
        {"config.cfg:INCLUDE \"my file\"\nINCLUDE none\nA 1\n", "my file:B 2\n"}, {"B|2| 2", "A|1| 1"},
        {cantOpen.arg("none")});
    row("relative include against working folder", {"-c", "sub/m"}, {"sub/m:INCLUDE i\n", "i:F 1\n", "sub/i:F 2\n"},
        {"-c|sub/m|sub/m", "F|1| 1"});
    row("include cycle skipped, same file twice read", {},
        {"config.cfg:A 1\nINCLUDE a\nINCLUDE a\n", "a:B 1\nINCLUDE ./config.cfg\nB 2\n"},
        {"A|1| 1", "B|1| 1", "B|2| 2", "B|1| 1", "B|2| 2"}, {cycle.arg("./config.cfg"), cycle.arg("./config.cfg")});

    row("-CONFIG in capitals", {"-CONFIG", "c2"}, cfg, {"-CONFIG|c2|c2", "FROM|c2| c2"});
    row("-config wins after -c", {"-c", "c1", "-config", "c2"}, cfg, {"-c|c1|c1", "-config|c2|c2", "FROM|c2| c2"});
    row("-config wins before -C", {"-config", "c2", "-C", "c1"}, cfg, {"-config|c2|c2", "-C|c1|c1", "FROM|c2| c2"});
    row("-c twice, last counts", {"-c", "c1", "-c", "c2"}, cfg, {"-c|c1|c1", "-c|c2|c2", "FROM|c2| c2"});
    row("-c last: no file at all", {"-c"}, cfg, {"-c||"});
    row("-c before an option; stray word, lone dash, negative number", {"x", "-c", "-x", "1", "2", "-", "-5", ""},
        cfg, {"-c||", "-x|1|1 2", "-||", "-5||"});
    row("-config without name beats -c", {"-c", "c1", "-config"}, cfg, {"-c|c1|c1", "-config||"});
    row("-c without name, -config with", {"-c", "-config", "c2"}, cfg, {"-c||", "-config|c2|c2", "FROM|c2| c2"});
    row("-c two names, UTF-8", {"-c", "c1", "c2", "-n", "\u00e4"}, cfg,
        {"-c|c1|c1 c2", "-n|\u00e4|\u00e4", "FROM|c1| c1"});
    row("named file missing", {"-c", "none"}, cfg, {"-c|none|none"}, {cantOpen.arg("none")});
    row("default file missing", {}, {}, {}, {cantOpen.arg("config.cfg")});
    row("-c in the file changes nothing but its value", {"-c", "config.cfg"}, {"config.cfg:-c c1\n"},
        {"-c|config.cfg|config.cfg", "-c|c1| c1"});
}

void tst_config::startUp()
{
    QTemporaryDir dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    QFETCH(QStringList, files);
    for (const QString &f : QStringList{"c1:FROM c1\n", "c2:FROM c2\n"} + files) {
        const QString name = f.section(':', 0, 0);
        QDir().mkpath(QFileInfo(name).path());
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(f.section(':', 1).toUtf8());
    }
    QFETCH(QStringList, args);
    QList<QByteArray> bytes{"zerlint"};
    for (const QString &a : args)
        bytes << a.toUtf8();
    QList<char *> argv;
    for (QByteArray &b : bytes)
        argv << b.data();

    ParamStore store;
    gLog.clear();
    store.init(int(argv.size()), argv.data(), true, "config.cfg", {"-c", "-config"});
    QStringList entries;
    for (const ParamEntry &e : store.allEntries())
        entries << e.key + '|' + e.value + '|' + e.rest;
    QTEST(entries, "entries");
    QTEST(gLog, "log");
    QCOMPARE(store.readFile("config.cfg"), QFile::exists("config.cfg"));
}

void tst_config::lookups()
{
    ParamStore s;
    for (const auto &[key, value, rest] : QList<std::array<QString, 3>>{{"PM", "a", "a b"}, {"pm", "x", "x"},
             {"Key", "", " "}, {"stra\u00dfe", "s", "s"}, {"PM", "c", " c d"}, {"key", "2", "2"}})
        s.addEntry(key, value, rest);
    QCOMPARE(s.get("PM", "d"), "c");   // the latest entry counts
    QCOMPARE(s.get("Pm", "d"), "d");   // letter case counts
    QCOMPARE(s.get("Key", "d"), "");   // an empty value, not the default
    QCOMPARE(s.getIgnoreCase("kEY", "d"), "2");   // the latest of all spellings
    QCOMPARE(s.getIgnoreCase("STRASSE", "d"), "s");   // full upper-case mapping
    QCOMPARE(s.restsOf("PM"), (QStringList{"a b", " c d"}));
    QCOMPARE(s.restsOf("pm"), QStringList{"x"});
    QCOMPARE(s.restsOf("none"), QStringList());
}

QTEST_GUILESS_MAIN(tst_config)
#include "tst_config.moc"
