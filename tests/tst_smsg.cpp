#include <QTest>

#include "bus/smsg.h"

// The split of an inbound line into an SMsg, from text and from the bytes off the connection.
class tst_smsg : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("fields");   // from|to|toCh|command|params
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<LineForm>("form");
        QTest::addColumn<VocabId>("id");
        const auto row = [](const char *name, const QByteArray &line, const QString &fields, const QStringList &args,
                            LineForm form, VocabId id = VocabEnd) {
            QTest::newRow(name) << line << fields << args << form << id;
        };
        row("channel in address", "c>zl.ch1 SetValue 10", "c|zl.ch1|ch1|SetValue|ch1", {"ch1", "10"}, FormMessage,
            VocabSetValue);
        row("runs of white space, leading and trailing", "  \t a>b \t\v  Help\f  x    y \r ", "a|b||Help|x y",
            {"x", "y"}, FormMessage, VocabHelp);
        row("Unicode white space", "a>b\xc2\xa0Help\xe2\x80\x83x", "a|b||Help|x", {"x"}, FormMessage, VocabHelp);
        row("sub-address, no parameters", "a.x.y>b.c.d Stop", "a.x.y|b.c.d|c.d|Stop|c.d", {"c.d"}, FormMessage,
            VocabStop);
        row("known event", "pmc01>zl _ChangedValue 5", "pmc01|zl||_ChangedValue|5", {"5"}, FormEvent,
            VocabChangedValue);
        row("unknown event, no parameters", "ctl>zl _Whatever", "ctl|zl||_Whatever|", {}, FormEvent);
        row("known reply", "ctl>zl @GetValue 1", "ctl|zl||@GetValue|1", {"1"}, FormMessage, VocabAnsGetValue);
        row("unknown reply", "ctl>zl @Foo 1", "ctl|zl||@Foo|1", {"1"}, FormMessage);
        row("word in lower case", "c>z help", "c|z||help|", {}, FormMessage);
        row("no arrow", " hello   world ", "||||hello world", {}, FormIncomplete);
        row("arrow, no space", "a.x>b", "a.x||||b", {}, FormIncomplete);
        row("space before arrow", "a b>zl Help", "||||a b>zl Help", {}, FormIncomplete);
        row("blank", " \t ", "||||", {}, FormIncomplete);
    }
    void parse()
    {
        QFETCH(QByteArray, line);
        QString room;
        for (const bool bytes : {false, true}) {
            SMsg m;   // a full earlier line, so every field must be cleared
            m.Parse(QStringLiteral("ctl.ax>zerlint.gap @GetValue 15 16"));
            const LineForm form = bytes ? m.parseBytes(line, room) : m.Parse(QString::fromUtf8(line));
            QTEST(QStringList({m.from, m.to, m.toCh, m.command, m.params}).join('|'), "fields");
            QTEST(m.args, "args");
            QTEST(form, "form");
            QTEST(m.form, "form");
            if (form != FormIncomplete)
                QTEST(m.cmdId, "id");
        }
    }
};

QTEST_APPLESS_MAIN(tst_smsg)
#include "tst_smsg.moc"
