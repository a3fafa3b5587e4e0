#include <QTest>

#include <iterator>

#include "bus/smsg.h"
#include "bus/vocabulary.h"

namespace {

QString fieldsOf(const SMsg &m)
{
    const QStringList fields{m.from, m.fromNode, m.fromCh, m.to, m.toNode, m.toCh, m.command, m.params};
    return fields.join('|');
}

} // namespace

// The split of an inbound line into an SMsg, and the vocabulary it is classified against.
class tst_smsg : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void parseClearsEarlierLine();
    void vocabulary();
};

void tst_smsg::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("fields");   // from|fromNode|fromCh|to|toNode|toCh|command|params
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("cmdId");
    QTest::addColumn<int>("cmdKind");

    const auto row = [](const char *name, const QString &line, const QString &fields,
                        const QStringList &args, int form, int cmdId, int cmdKind) {
        QTest::newRow(name) << line << fields << args << form << cmdId << cmdKind;
    };
    row("channel in address", "client7>zerlint.ch1 SetValue 100",
        "client7|client7||zerlint.ch1|zerlint|ch1|SetValue|ch1", {"ch1", "100"}, FormMessage, 7, KindCommand);
    row("channel as parameter", "client7>zerlint SetValue ch1 100",
        "client7|client7||zerlint|zerlint||SetValue|ch1 100", {"ch1", "100"}, FormMessage, 7, KindCommand);
    row("channel, no parameters", "client7>zerlint.ch1 GetValue",
        "client7|client7||zerlint.ch1|zerlint|ch1|GetValue|ch1", {"ch1"}, FormMessage, 9, KindCommand);
    row("no channel, no parameters", "client7>zerlint GetChs",
        "client7|client7||zerlint|zerlint||GetChs|", {}, FormMessage, 1, KindCommand);
    row("runs of white space simplified", "   a>b    Help   x    y  ",
        "a|a||b|b||Help|x y", {"x", "y"}, FormMessage, 0, KindCommand);
    row("tabs and no-break spaces are white space", "a>b\tHelp\u00a0x\t\ty",
        "a|a||b|b||Help|x y", {"x", "y"}, FormMessage, 0, KindCommand);
    row("sub-address at first dot only", "alpha.a.b>beta.c.d Stop",
        "alpha.a.b|alpha|a.b|beta.c.d|beta|c.d|Stop|c.d", {"c.d"}, FormMessage, 5, KindCommand);
    row("known event", "ctl>zerlint _ChangedValue 5",
        "ctl|ctl||zerlint|zerlint||_ChangedValue|5", {"5"}, FormEvent, 25, KindEvent);
    row("unknown event", "ctl>zerlint _Whatever",
        "ctl|ctl||zerlint|zerlint||_Whatever|", {}, FormEvent, 26, KindNotFound);
    row("known reply", "ctl.ax>zerlint @GetValue 15",
        "ctl.ax|ctl|ax|zerlint|zerlint||@GetValue|15", {"15"}, FormMessage, 18, KindReply);
    row("unknown reply", "ctl>zerlint @Foo 1",
        "ctl|ctl||zerlint|zerlint||@Foo|1", {"1"}, FormMessage, 26, KindNotFound);
    row("command word in lower case", "c>z help", "c|c||z|z||help|", {}, FormMessage, 26, KindNotFound);
    row("prefix of a word", "c>z GetValu", "c|c||z|z||GetValu|", {}, FormMessage, 26, KindNotFound);
    row("second arrow belongs to receiver", "a>b>c Help", "a|a||b>c|b>c||Help|", {}, FormMessage, 0,
        KindCommand);
    row("empty line", "", "|||||||", {}, FormIncomplete, 26, KindNotFound);
    row("no arrow", " hello   world ", "|||||||hello world", {}, FormIncomplete, 26, KindNotFound);
    row("arrow, no space", "a.x>b", "a.x|a|x|||||b", {}, FormIncomplete, 26, KindNotFound);
    row("space before arrow", "a b>zerlint0 Help", "|||||||a b>zerlint0 Help", {}, FormIncomplete, 26,
        KindNotFound);
}

void tst_smsg::parse()
{
    QFETCH(QString, line);
    QFETCH(int, form);

    SMsg m;
    QCOMPARE(m.Parse(line), form);
    QTEST(fieldsOf(m), "fields");
    QTEST(m.args, "args");
    QCOMPARE(m.form, form);
    QTEST(m.cmdKind, "cmdKind");
    if (form != FormIncomplete)   // not used after an incomplete line
        QTEST(m.cmdId, "cmdId");
}

void tst_smsg::parseClearsEarlierLine()
{
    SMsg m;
    m.Parse(QStringLiteral("ctl.ax>zerlint.gap @GetValue 15 16"));
    QCOMPARE(m.cmdKind, int(KindReply));
    QCOMPARE(m.Parse(QStringLiteral("x>y")), int(FormIncomplete));
    QCOMPARE(fieldsOf(m), QStringLiteral("x|x||||||y"));
    QVERIFY(m.args.isEmpty());
    QCOMPARE(m.cmdKind, int(KindNotFound));
}

void tst_smsg::vocabulary()
{
    const QStringList names{
        "Help", "GetChs", "GetChInfo", "IsBusy", "StopEmergency", "Stop", "Remote", "SetValue",
        "SetValueREL", "GetValue", "SpeedHigh", "SpeedMiddle", "SpeedLow", "@StopEmergency",
        "@Stop", "@Remote", "@SetValue", "@SetValueREL", "@GetValue", "@SpeedHigh",
        "@SpeedMiddle", "@SpeedLow", "@Standby", "@SyncRun", "_ChangedIsBusy", "_ChangedValue", ""};
    QCOMPARE(int(std::size(gVocabulary)), 27);
    for (int i = 0; i < 27; ++i) {
        const QString word = gVocabulary[i].name;
        QCOMPARE(gVocabulary[i].id, i);
        QCOMPARE(word, names.at(i));
        if (i >= 13 && i <= 25)
            QCOMPARE(gVocabulary[i].help, QStringLiteral("Not a command"));
        if (i == VocabEnd)
            break;
        SMsg m;   // every word is found at its own row, classed by its first character
        m.Parse(QStringLiteral("a>b ") + word + QStringLiteral(" 1"));
        QCOMPARE(m.cmdId, i);
        QCOMPARE(m.cmdKind, word.startsWith('@') ? int(KindReply)
                            : word.startsWith('_') ? int(KindEvent) : int(KindCommand));
    }
    QCOMPARE(gVocabulary[0].help, QStringLiteral("Show information for commands"));
    QCOMPARE(gVocabulary[3].help, QStringLiteral("Show if the channnel is busy"));
    QCOMPARE(gVocabulary[6].help, QStringLiteral("Turn the PM controller to remote mode"));
    QCOMPARE(gVocabulary[8].help, QStringLiteral("Set a relatice value to selected channel"));
    QVERIFY(gVocabulary[26].help.isEmpty());
}

QTEST_APPLESS_MAIN(tst_smsg)
#include "tst_smsg.moc"
