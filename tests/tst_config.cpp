#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "config/keyfile.h"
#include "config/paramstore.h"

static QStringList gLog;   // the debug messages of the running test; other messages go on as before
static QtMessageHandler gPrevious = nullptr;

// Writes a file of the test: "<pipe>" makes a named pipe, "<big>" a sparse file a byte over the bound of a
// configuration file, and a text that ends in "<pad>" is padded with spaces up to that bound.
static bool writeFile(const QString &name, QByteArray contents)
{
    QDir().mkpath(QFileInfo(name).path());
    if (contents == "<pipe>")
        return ::mkfifo(QFile::encodeName(name).constData(), 0600) == 0;
    if (contents.endsWith("<pad>"))
        contents = contents.chopped(5).leftJustified(ParamStore::MaxFileSize, ' ');
    QFile file(name);
    return file.open(QIODevice::WriteOnly)
        && (contents == "<big>" ? file.resize(ParamStore::MaxFileSize + 1) : file.write(contents) == contents.size());
}

class tst_config : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        gPrevious = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            type == QtDebugMsg || type == QtWarningMsg ? gLog.append(text) : gPrevious(type, context, text);
        });
    }

    // The command line, then the chosen file: the entries in the store and the diagnostics written.
    void startUp_data()
    {
        QTest::addColumn<QByteArrayList>("args");
        for (const char *column : {"files", "entries", "log"})   // "name:contents" (and c1, c2); "key|value|rest"
            QTest::addColumn<QStringList>(column);
        const auto row = [](const char *name, const QByteArrayList &args, const QStringList &files,
                            const QStringList &entries, const QStringList &log = {}) {
            QTest::newRow(name) << args << files << entries << log;
        };
        const QString cantOpen = QStringLiteral("Can't open config file :  \"%1\"");
        const QString close = QStringLiteral("\"In a line [%1] item is started from not quote but ended by quote\"");
        const QString tooLarge = QStringLiteral("Config file too large, not read :  \"%1\"");
        row("byte-order mark, CR LF, blank lines, key alone, contraction keeps hash", {},
            {"config.cfg:\ufeffKEY\r\n\n   \n# c\n  \t# d\n\u00a0\u00a0\r\nK2   # c\nK don't # note\n"},
            {"KEY||", "K2||   ", "K|don't| don't # note"});
        row("bare: white space around, no-break space, apostrophes, quote inside; quoted: hash, spaces, empty", {},
            {"config.cfg: \t\fA\t 1\na\u00a0b c\n'a b' c\nab\"cd x\nK \"a#b\" 'c#d' # e\n  \"my key\"v w\nE \"\" x\n"},
            {"A|1|\t 1", "a\u00a0b|c| c", "'a|b'| b' c", "ab\"cd|x| x", "K|a#b| \"a#b\" 'c#d' ", "my key|v|v w",
             "E|| \"\" x"});
        row("bare item ends with quote; unterminated quote, apostrophe ends it for comments", {},
            {"config.cfg:V abc\" x\nW abc\"\nK \"ab'c # x\nL 1\n"},
            {"V|abc\"| abc\" x", "W|abc\"| abc\"", "K|ab'c | \"ab'c ", "L|1| 1"},
            {close.arg(" abc\\\" x"), close.arg(" abc\\\""),
             "\"In a line [ \\\"ab'c ] item is started from quote but not ended by quote\""});
        row("include in place, nested, any case; quoted, empty and missing name", {},
            {"config.cfg:A 1\ninclude a\nINCLUDE \"my file\"\nINCLUDE none\nZ 9\n", "a:Include b more items\nB 2\n",
             "b:X 1\niNcLuDe\n", "my file:C 3\n"},
            {"A|1| 1", "X|1| 1", "B|2| 2", "C|3| 3", "Z|9| 9"}, {cantOpen.arg(""), cantOpen.arg("none")});
        row("relative include against working folder", {"-c", "sub/m"}, {"sub/m:INCLUDE i\n", "i:F 1\n", "sub/i:F 2\n"},
            {"-c|sub/m|sub/m", "F|1| 1"});
        row("include cycle skipped, same file twice read", {},
            {"config.cfg:A 1\nINCLUDE a\nINCLUDE a\n", "a:B 1\nINCLUDE ./config.cfg\nB 2\n"},
            {"A|1| 1", "B|1| 1", "B|2| 2", "B|1| 1", "B|2| 2"},
            QStringList(2, "INCLUDE leads back to a file being read, not read again :  \"./config.cfg\""));

        // Bounds: only regular files are read, an INCLUDE chain is cut at 32 files, large files are not read.
        row("a folder, a device and a pipe are not read", {},
            {"config.cfg:A 1\nINCLUDE sub\nINCLUDE /dev/zero\nINCLUDE pipe\nB 2\n", "sub/x:X 1\n", "pipe:<pipe>"},
            {"A|1| 1", "B|2| 2"}, {cantOpen.arg("sub"), cantOpen.arg("/dev/zero"), cantOpen.arg("pipe")});
        QStringList chain{"config.cfg:L 0\nINCLUDE f1\n"}, chainEntries;
        for (int i = 1; i <= 40; ++i)
            chain << QStringLiteral("f%1:L %1\nINCLUDE f%2\n").arg(i).arg(i + 1);
        for (int i = 0; i < 32; ++i)   // read: config.cfg and f1 to f31
            chainEntries << QStringLiteral("L|%1| %1").arg(i);
        row("INCLUDE chain cut", {}, chain, chainEntries, {"INCLUDE nested deeper than 32 files, not read :  \"f32\""});
        // A file beyond 16 MiB counts for nothing; f0 and three included files make 64 MiB, the next is too much.
        row("a file beyond 16 MiB, then files of 16 MiB up to 64 MiB in all", {"-c", "f0"},
            {"f0:INCLUDE big\nINCLUDE full\nINCLUDE full\nINCLUDE full\nINCLUDE full\nB 2\n#<pad>", "big:<big>",
             "full:K 1\n#<pad>"},
            {"-c|f0|f0", "K|1| 1", "K|1| 1", "K|1| 1", "B|2| 2"}, {tooLarge.arg("big"), tooLarge.arg("full")});

        // INCLUDEs followed, missing files too; a line's bytes without its end (a whole line after "K "); entries and
        // their text (each such entry 8,190 characters: key, value and rest); problems logged.
        const QString line = QString(ParamStore::MaxLineLength - 2, 'v'), entry = "K|" + line + "| " + line;
        const QString notRead = " and later not read :  \"config.cfg\"";
        row("1,001 INCLUDEs, a missing file among them: the last not read", {},
            {"config.cfg:INCLUDE none\n" + QString("INCLUDE e\n").repeated(1000) + "A 1\n", "e:"}, {"A|1| 1"},
            {cantOpen.arg("none"), "More than 1000 INCLUDEs, this and later ones not read :  \"e\""});
        row("a line of 4 KiB and CR LF read, a byte more not", {},
            {"config.cfg:K " + line + "\r\nL v" + line + "\nB 2\n"}, {entry, "B|2| 2"},
            {"Config line 2 longer than 4096 bytes, not read :  \"config.cfg\""});
        row("100,001 entries: the last and all after it not read", {},
            {"config.cfg:" + QString("K 1\n").repeated(ParamStore::MaxEntries + 1) + "INCLUDE c1\n"},
            QStringList(ParamStore::MaxEntries, "K|1| 1"), {"More than 100000 entries, line 100001" + notRead});
        row("16 Mi characters in entries: the entry beyond and all after it not read", {},
            {"config.cfg:" + QString("K " + line + '\n').repeated(2049) + "B 2\n"}, QStringList(2048, entry),
            {"More than 16777216 characters in entries, line 2049" + notRead});
        row("101 problems: 100 on the log, then their count", {},
            {"config.cfg:" + QString("INCLUDE none\n").repeated(101)}, {}, QStringList(100, cantOpen.arg("none"))
                << "Configuration diagnostics beyond the first 100 not written :  1");

        row("-CONFIG wins after -c and before -C", {"-c", "c1", "-CONFIG", "c2", "-C", "none"}, {},
            {"-c|c1|c1", "-CONFIG|c2|c2", "-C|none|none", "FROM|c2| c2"});
        row("-c before an option: nothing read; stray word, lone dash, negative number",
            {"x", "-c", "-x", "1", "2", "-", "-5", ""}, {}, {"-c||", "-x|1|1 2", "-||", "-5||"});
        row("-config without name beats -c: nothing read", {"-c", "c1", "-config"}, {}, {"-c|c1|c1", "-config||"});
        row("-c then -C: the last counts, with two names; UTF-8", {"-c", "none", "-C", "c1", "c2", "-n", "\u00e4"}, {},
            {"-c|none|none", "-C|c1|c1 c2", "-n|\u00e4|\u00e4", "FROM|c1| c1"});
        row("-c in the file changes nothing but its value", {"-c", "config.cfg"}, {"config.cfg:-c c1\n"},
            {"-c|config.cfg|config.cfg", "-c|c1| c1"});
    }
    void startUp()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        QFETCH(QStringList, files);
        for (const QString &f : QStringList{"c1:FROM c1\n", "c2:FROM c2\n"} + files)
            QVERIFY(writeFile(f.section(':', 0, 0), f.section(':', 1).toUtf8()));
        QFETCH(QByteArrayList, args);
        args.prepend("zerlint");
        QList<char *> argv;
        for (QByteArray &a : args)
            argv << a.data();
        ParamStore store;
        gLog.clear();
        Diagnostic::limitLog();   // as a start does
        store.init(int(argv.size()), argv.data(), "config.cfg", {"-c", "-config"});
        Diagnostic::endLimit();
        QStringList entries;
        for (const ParamEntry &e : store.allEntries())
            entries << e.key + '|' + e.value + '|' + e.rest;
        QTEST(entries, "entries");
        QTEST(gLog, "log");
        QCOMPARE(store.readFile("config.cfg"), QFile::exists("config.cfg"));
    }

    // The key file "base": its words in order; none when there are none, with the reasons on the log.
    void keyFile_data()
    {
        QTest::addColumn<QByteArray>("contents");   // null: no file
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("log");
        const auto row = [](const char *name, const QByteArray &contents, const QStringList &keys,
                            const QStringList &log = {}) { QTest::newRow(name) << contents << keys << log; };
        const QString named = "Key file base.key (KEY_FILE base and \".key\"): ";
        const QByteArray full = QByteArray("k0").leftJustified(KeyFile::MaxSize, ' ');
        row("words over lines, blank lines, runs of spaces", "k0\n\n   k1    k2\n\n", {"k0", "k1", "k2"});
        row("only white space", " \t\n\n  \r\n", {}, {named + "holds no key"});
        row("a named pipe: not read, no wait", "<pipe>", {}, {named + "not a regular file"});
        row("1 MiB", full, {"k0"});
        row("a byte over 1 MiB", full + ' ', {}, {named + "larger than 1048576 bytes"});
    }
    void keyFile()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        QFETCH(QByteArray, contents);
        gLog.clear();
        QVERIFY(contents.isNull() || writeFile("base.key", contents));
        QFile::setPermissions("base.key", QFile::ReadOwner | QFile::WriteOwner);   // others may not read the keys
        QTEST(KeyFile::read("base"), "keys");
        QTEST(gLog, "log");
    }

    void lookups()
    {
        ParamStore s;
        for (const auto &[key, value] : QList<std::pair<QString, QString>>{
                 {"PM", "a"}, {"Key", ""}, {"stra\u00dfe", "s"}, {"PM", "c"}})
            s.addEntry(key, value, value);
        QCOMPARE(s.get("PM", "d"), "c");   // the latest entry counts
        QCOMPARE(s.get("Pm", "d"), "d");   // letter case counts
        QCOMPARE(s.get("Key", "d"), "");   // an empty value, not the default
        QCOMPARE(s.getIgnoreCase("STRASSE", "d"), "s");   // full upper-case mapping
    }
};

QTEST_GUILESS_MAIN(tst_config)
#include "tst_config.moc"
