#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "config/items.h"
#include "config/paramstore.h"

namespace {

QStringList *gCaptured = nullptr;
QtMessageHandler gPrevious = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && gCaptured)
        gCaptured->append(text);
    else if (gPrevious)
        gPrevious(type, context, text);
}

// Collects the debug messages written while it lives.
struct DebugLog
{
    DebugLog() { gCaptured = &lines; gPrevious = qInstallMessageHandler(captureDebug); }
    ~DebugLog() { qInstallMessageHandler(gPrevious); gCaptured = nullptr; }
    QStringList lines;
};

QStringList entriesOf(const ParamStore &store)
{
    QStringList out;
    for (const ParamEntry &e : store.allEntries())
        out << e.key + '|' + e.value + '|' + e.rest;
    return out;
}

// An expected diagnostic is the exact text, or "~" and a part of it.
void compareDiagnostics(const QStringList &seen, const QStringList &expected)
{
    QCOMPARE(seen.size(), expected.size());
    for (qsizetype i = 0; i < seen.size(); ++i) {
        if (expected.at(i).startsWith('~'))
            QVERIFY2(seen.at(i).contains(expected.at(i).mid(1)), qPrintable(seen.at(i)));
        else
            QCOMPARE(seen.at(i), expected.at(i));
    }
}

} // namespace

class tst_config : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void takeItem_data();
    void takeItem();
    void comments_data();
    void comments();
    void readFile_data();
    void readFile();
    void lookups_data();
    void lookups();
    void commandLine_data();
    void commandLine();

private:
    void writeFiles(const QStringList &files);
    std::unique_ptr<QTemporaryDir> tmp;
    QString savedDir;
};

void tst_config::init()
{
    savedDir = QDir::currentPath();
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    QVERIFY(QDir::setCurrent(tmp->path()));
}

void tst_config::cleanup()
{
    QDir::setCurrent(savedDir);
    tmp.reset();
}

// Each element is "name:contents", written as UTF-8 below the current folder.
void tst_config::writeFiles(const QStringList &files)
{
    for (const QString &f : files) {
        const QString name = f.section(':', 0, 0);
        QDir().mkpath(QFileInfo(name).path());
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(f.section(':', 1).toUtf8());
    }
}

void tst_config::takeItem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("diagnostic");

    const QString open = QStringLiteral("In a line [%1] item is started from quote but not ended by quote");
    const QString close = QStringLiteral("In a line [%1] item is started from not quote but ended by quote");

    QTest::newRow("bare, whitespace kept after") << "key  value" << "key" << "  value" << "";
    QTest::newRow("leading whitespace skipped") << " \t\fkey" << "key" << "" << "";
    QTest::newRow("tab ends a bare item") << "a\tb" << "a" << "\tb" << "";
    QTest::newRow("no-break space is no separator") << "a\u00a0b c" << "a\u00a0b" << " c" << "";
    QTest::newRow("quoted with spaces and hash") << " \"a b # c\" rest" << "a b # c" << " rest" << "";
    QTest::newRow("empty quoted") << "\"\" x" << "" << " x" << "";
    QTest::newRow("quote directly followed") << "\"ab\"cd ef" << "ab" << "cd ef" << "";
    QTest::newRow("apostrophes do not group") << "'a b' c" << "'a" << " b' c" << "";
    QTest::newRow("quote inside bare item") << "ab\"cd x" << "ab\"cd" << " x" << "";
    QTest::newRow("only whitespace") << " \t \r\n" << "" << "" << "";
    QTest::newRow("unterminated quote")
        << " \"abc def" << "abc def" << "" << "\"" + open.arg(" \\\"abc def") + "\"";
    QTest::newRow("bare item ends with quote at end")
        << "abc\"" << "abc\"" << "" << "\"" + close.arg("abc\\\"") + "\"";
    QTest::newRow("bare item ends with quote before space")
        << "abc\" x" << "abc\"" << " x" << "\"" + close.arg("abc\\\" x") + "\"";
}

void tst_config::takeItem()
{
    QFETCH(QString, text);
    QFETCH(QString, diagnostic);
    QString item = QStringLiteral("stale");
    DebugLog log;
    const QString after = ::takeItem(text, item);
    QTEST(item, "item");
    QTEST(after, "after");
    compareDiagnostics(log.lines, diagnostic.isEmpty() ? QStringList() : QStringList{diagnostic});
}

void tst_config::comments_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("stripped");
    QTest::addColumn<bool>("blank");

    QTest::newRow("no comment") << "a b" << "a b" << false;
    QTest::newRow("comment after items") << "key value # note" << "key value " << false;
    QTest::newRow("only a comment") << "   # note" << "   " << true;
    QTest::newRow("hash in double quotes") << "k \"a#b\" # c" << "k \"a#b\" " << false;
    QTest::newRow("lone apostrophe keeps hash") << "k don't # note" << "k don't # note" << false;
    QTest::newRow("hash between apostrophes") << "k 'a#b' c" << "k 'a#b' c" << false;
    QTest::newRow("apostrophe closes double quote") << "k \"a' # b" << "k \"a' " << false;
    QTest::newRow("no-break spaces") << "\u00a0\u00a0" << "\u00a0\u00a0" << true;
}

void tst_config::comments()
{
    QFETCH(QString, line);
    QTEST(stripComment(line), "stripped");
    QTEST(isBlankLine(line), "blank");
}

void tst_config::readFile_data()
{
    QTest::addColumn<QStringList>("files");   // the first one is read
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("diagnostics");

    const auto row = [](const char *name, const QStringList &files, const QStringList &entries,
                        const QStringList &diagnostics = {}) {
        QTest::newRow(name) << files << entries << diagnostics;
    };
    const QString cantOpen = QStringLiteral("Can't open config file :  \"%1\"");
    row("empty file", {"m.cfg:"}, {});
    row("blank and comment lines", {"m.cfg:\n   \n# c\n  \t# d\n\u00a0\u00a0\n"}, {});
    row("key alone", {"m.cfg:KEY\nK2   # c\n"}, {"KEY||", "K2||   "});
    row("contraction keeps hash", {"m.cfg:K don't # note\n"}, {"K|don't| don't # note"});
    row("quoted value, rest keeps quotes", {"m.cfg:K \"a b\" c # x\n"}, {"K|a b| \"a b\" c "});
    row("empty quoted value", {"m.cfg:K \"\" x\n"}, {"K|| \"\" x"});
    row("quoted key with spaces", {"m.cfg:  \"my key\"v w\n"}, {"my key|v|v w"});
    row("unterminated quoted value", {"m.cfg:K \"ab'c # x\nL 1\n"}, {"K|ab'c | \"ab'c ", "L|1| 1"},
        {"\"In a line [ \\\"ab'c ] item is started from quote but not ended by quote\""});
    row("CR LF line ends", {"m.cfg:A 1\r\nB 2 \r\n\r\n"}, {"A|1| 1", "B|2| 2 "});
    row("byte-order mark and UTF-8", {"m.cfg:\ufeffA \u00e4\u03a9\n"}, {"A|\u00e4\u03a9| \u00e4\u03a9"});
    row("include in place", {"m.cfg:A 1\nINCLUDE a.cfg\nC 3\n", "a.cfg:B 2\n"},
        {"A|1| 1", "B|2| 2", "C|3| 3"});
    row("nested include in any case, empty name",
        {"m.cfg:A 1\ninclude a.cfg\nZ 9\n", "a.cfg:Include b.cfg more items\nB 2\n", "b.cfg:X 1\niNcLuDe\n"},
        {"A|1| 1", "X|1| 1", "B|2| 2", "Z|9| 9"}, {cantOpen.arg("")});
    row("quoted include name", {"m.cfg:INCLUDE \"my file.cfg\"\n", "my file.cfg:B 2\n"}, {"B|2| 2"});
    row("missing include", {"m.cfg:INCLUDE none.cfg\nA 1\n"}, {"A|1| 1"}, {cantOpen.arg("none.cfg")});
    row("relative include against working folder",
        {"sub/m.cfg:INCLUDE inc.cfg\n", "inc.cfg:FROM top\n", "sub/inc.cfg:FROM sub\n"}, {"FROM|top| top"});
    row("same file included twice", {"m.cfg:INCLUDE a.cfg\nINCLUDE a.cfg\n", "a.cfg:A 1\n"},
        {"A|1| 1", "A|1| 1"});
    row("file includes itself", {"m.cfg:A 1\nINCLUDE m.cfg\nB 2\n"}, {"A|1| 1", "B|2| 2"}, {"~m.cfg"});
    row("cycle through two files", {"m.cfg:A 1\nINCLUDE a.cfg\nC 3\n", "a.cfg:B 1\nINCLUDE ./m.cfg\nB 2\n"},
        {"A|1| 1", "B|1| 1", "B|2| 2", "C|3| 3"}, {"~./m.cfg"});
}

void tst_config::readFile()
{
    QFETCH(QStringList, files);
    writeFiles(files);
    ParamStore store;
    QTest::ignoreMessage(QtDebugMsg, "Can't open config file :  \"absent.cfg\"");
    QVERIFY(!store.readFile("absent.cfg"));
    DebugLog log;
    QVERIFY(store.readFile(files.first().section(':', 0, 0)));
    QTEST(entriesOf(store), "entries");
    QFETCH(QStringList, diagnostics);
    compareDiagnostics(log.lines, diagnostics);
}

void tst_config::lookups_data()
{
    QTest::addColumn<QString>("lookup");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("get: latest value") << "get" << "PM" << QStringList{"c"};
    QTest::newRow("get: letter case counts") << "get" << "Pm" << QStringList{"default"};
    QTest::newRow("get: empty value, not default") << "get" << "Key" << QStringList{""};
    QTest::newRow("get: absent") << "get" << "none" << QStringList{"default"};
    QTest::newRow("ignore case: latest of all spellings") << "icase" << "kEY" << QStringList{"2"};
    QTest::newRow("ignore case: mixed") << "icase" << "pM" << QStringList{"c"};
    QTest::newRow("ignore case: full upper-case mapping") << "icase" << "STRASSE" << QStringList{"s"};
    QTest::newRow("ignore case: absent") << "icase" << "none" << QStringList{"default"};
    QTest::newRow("rests: in order") << "rests" << "PM" << QStringList{"a b", " c d"};
    QTest::newRow("rests: exact key") << "rests" << "pm" << QStringList{"x"};
    QTest::newRow("rests: absent") << "rests" << "none" << QStringList{};
}

void tst_config::lookups()
{
    ParamStore store;
    store.addEntry("PM", "a", "a b");
    store.addEntry("pm", "x", "x");
    store.addEntry("Key", "", " ");
    store.addEntry("stra\u00dfe", "s", "s");
    store.addEntry("PM", "c", " c d");
    store.addEntry("key", "2", "2");

    QFETCH(QString, lookup);
    QFETCH(QString, key);
    const QString def = QStringLiteral("default");
    const QStringList got = lookup == "get"     ? QStringList{store.get(key, def)}
                            : lookup == "icase" ? QStringList{store.getIgnoreCase(key, def)}
                                                : store.restsOf(key);
    QTEST(got, "expected");
}

void tst_config::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("configCfg");   // null: no config.cfg
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("diagnostics");

    const auto row = [](const char *name, const QStringList &args, const QStringList &entries,
                        const QStringList &diagnostics = {}, const QString &cfg = "FROM default\n") {
        QTest::newRow(name) << args << cfg << entries << diagnostics;
    };
    const QString dflt = QStringLiteral("FROM|default| default");
    row("no arguments", {}, {dflt});
    row("-c name", {"-c", "c1.cfg"}, {"-c|c1.cfg|c1.cfg", "FROM|c1| c1"});
    row("-CONFIG in capitals", {"-CONFIG", "c2.cfg"}, {"-CONFIG|c2.cfg|c2.cfg", "FROM|c2| c2"});
    row("-config wins after -c", {"-c", "c1.cfg", "-config", "c2.cfg"},
        {"-c|c1.cfg|c1.cfg", "-config|c2.cfg|c2.cfg", "FROM|c2| c2"});
    row("-config wins before -C", {"-config", "c2.cfg", "-C", "c1.cfg"},
        {"-config|c2.cfg|c2.cfg", "-C|c1.cfg|c1.cfg", "FROM|c2| c2"});
    row("-c twice, last counts", {"-c", "c1.cfg", "-c", "c2.cfg"},
        {"-c|c1.cfg|c1.cfg", "-c|c2.cfg|c2.cfg", "FROM|c2| c2"});
    row("-c last, no file at all", {"-c"}, {"-c||"});
    row("-c followed by option", {"-c", "-x", "1"}, {"-c||", "-x|1|1"});
    row("-config without name beats -c", {"-c", "c1.cfg", "-config"}, {"-c|c1.cfg|c1.cfg", "-config||"});
    row("-c without name, -config with", {"-c", "-config", "c2.cfg"},
        {"-c||", "-config|c2.cfg|c2.cfg", "FROM|c2| c2"});
    row("-c two names", {"-c", "c1.cfg", "c2.cfg"}, {"-c|c1.cfg|c1.cfg c2.cfg", "FROM|c1| c1"});
    row("stray words, unknown options, lone dash, negative number",
        {"stray", "-x", "1", "2", "-", "-5", ""}, {"-x|1|1 2", "-||", "-5||", dflt});
    row("UTF-8 argument", {"-n", "\u00e4"}, {"-n|\u00e4|\u00e4", dflt});
    row("named file missing", {"-c", "nofile.cfg"}, {"-c|nofile.cfg|nofile.cfg"},
        {"Can't open config file :  \"nofile.cfg\""});
    row("default file missing", {}, {}, {"Can't open config file :  \"config.cfg\""}, QString());
    row("-c in the file changes nothing but its value", {"-c", "config.cfg"},
        {"-c|config.cfg|config.cfg", "-c|c1.cfg| c1.cfg", dflt}, {}, "-c c1.cfg\nFROM default\n");
}

void tst_config::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, configCfg);
    QStringList files{"c1.cfg:FROM c1\n", "c2.cfg:FROM c2\n"};
    if (!configCfg.isNull())
        files << "config.cfg:" + configCfg;
    writeFiles(files);

    QList<QByteArray> bytes{"zerlint"};
    for (const QString &a : args)
        bytes << a.toUtf8();
    QList<char *> argv;
    for (QByteArray &b : bytes)
        argv << b.data();

    ParamStore store;
    DebugLog log;
    store.init(int(argv.size()), argv.data(), true, "config.cfg", {"-c", "-config"});
    QTEST(entriesOf(store), "entries");
    QFETCH(QStringList, diagnostics);
    compareDiagnostics(log.lines, diagnostics);
}

QTEST_GUILESS_MAIN(tst_config)
#include "tst_config.moc"
