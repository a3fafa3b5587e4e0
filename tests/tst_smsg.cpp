#include <QTest>

#include "bus/smsg.h"
#include "bus/vocabulary.h"

// The split of an inbound line into an SMsg, and the vocabulary it is classified against.
class tst_smsg : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("fields");   // from|fromNode|fromCh|to|toNode|toCh|command|params
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("result");   // form, cmdKind, cmdId (not used after an incomplete line)
        const auto row = [](const char *name, const QString &line, const QString &fields, const QStringList &args,
                            const QList<int> &result) { QTest::newRow(name) << line << fields << args << result; };
        row("channel in address", "c>zl.ch1 SetValue 10", "c|c||zl.ch1|zl|ch1|SetValue|ch1", {"ch1", "10"}, {0, 0, 7});
        row("runs of white space", "   a>b \t  Help\u00a0 x    y  ", "a|a||b|b||Help|x y", {"x", "y"}, {0, 0, 0});
        row("sub-address, no parameters", "a.x.y>b.c.d Stop", "a.x.y|a|x.y|b.c.d|b|c.d|Stop|c.d", {"c.d"}, {0, 0, 5});
        row("unknown event, no parameters", "ctl>zl _Whatever", "ctl|ctl||zl|zl||_Whatever|", {}, {1, 3, 26});
        row("unknown reply", "ctl>zl @Foo 1", "ctl|ctl||zl|zl||@Foo|1", {"1"}, {0, 3, 26});
        row("word in lower case", "c>z help", "c|c||z|z||help|", {}, {0, 3, 26});
        row("no arrow", " hello   world ", "|||||||hello world", {}, {2, 3});
        row("arrow, no space", "a.x>b", "a.x|a|x|||||b", {}, {2, 3});
        row("space before arrow", "a b>zl Help", "|||||||a b>zl Help", {}, {2, 3});
    }
    void parse()
    {
        QFETCH(QString, line);
        SMsg m;   // a full earlier line, so every field must be cleared
        m.Parse(QStringLiteral("ctl.ax>zerlint.gap @GetValue 15 16"));
        const int form = m.Parse(line);
        QTEST(QStringList({m.from, m.fromNode, m.fromCh, m.to, m.toNode, m.toCh, m.command, m.params}).join('|'),
              "fields");
        QTEST(m.args, "args");
        QFETCH(QList<int>, result);
        QCOMPARE(QList<int>({form, m.cmdKind, m.cmdId}).first(result.size()), result);
    }

    void vocabulary()
    {
        const QStringList names{"Help", "GetChs", "GetChInfo", "IsBusy", "StopEmergency", "Stop", "Remote", "SetValue",
            "SetValueREL", "GetValue", "SpeedHigh", "SpeedMiddle", "SpeedLow", "@StopEmergency", "@Stop", "@Remote",
            "@SetValue", "@SetValueREL", "@GetValue", "@SpeedHigh", "@SpeedMiddle", "@SpeedLow", "@Standby",
            "@SyncRun", "_ChangedIsBusy", "_ChangedValue", ""};
        for (int i = 0; i < 27; ++i) {
            QCOMPARE(gVocabulary[i].id, i);
            QCOMPARE(gVocabulary[i].name, names.at(i));
            QCOMPARE(gVocabulary[i].help == "Not a command", i >= 13 && i <= 25);
            SMsg m;
            m.Parse("a>b " + names.at(i) + " 1");   // found at its own row, classed by its first character
            QCOMPARE(m.form, i >= 24 && i < VocabEnd ? 1 : 0);   // an event, or a message such as a reply
            QCOMPARE(m.cmdKind, i == VocabEnd ? 3 : i >= 24 ? 2 : i >= 13 ? 1 : 0);
            QCOMPARE(m.cmdId, i);
        }
        QCOMPARE(gVocabulary[3].help, QStringLiteral("Show if the channnel is busy"));
        QCOMPARE(gVocabulary[8].help, QStringLiteral("Set a relatice value to selected channel"));
    }
};

QTEST_APPLESS_MAIN(tst_smsg)
#include "tst_smsg.moc"
