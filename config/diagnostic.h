#pragma once

#include <QDebug>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// Where a configuration entry came from; no file for the command line.
struct SourceLine
{
    QString file;
    int line = 0;
};

// A configuration problem, kept with the line that caused it.
struct Finding
{
    SourceLine where;
    QString text;
};

// The problems of one check: each once, the first ones kept, the others only counted.
class Findings
{
public:
    void add(const SourceLine &where, const QString &text);

    const QList<Finding> &kept() const { return first; }
    qsizetype notKept() const { return more; }
    qsizetype count() const { return first.size() + more; }

private:
    QList<Finding> first;
    qsizetype more = 0;
    QSet<size_t> seen;   // hashes of all problems added, so that a repeated one counts once
};

// One configuration diagnostic, streamed like qDebug(). It goes to the debug log unless a
// check collects findings; then problems go to its list, with the line being read or defined.
class Diagnostic
{
public:
    enum Kind { Problem, Echo };   // an echo of a definition is no finding

    // Problems shown on the log while it is limited, and in a check's list.
    static constexpr qsizetype MaxShown = 100;

    explicit Diagnostic(Kind kind = Problem);
    ~Diagnostic();
    Q_DISABLE_COPY_MOVE(Diagnostic)

    template <typename T>
    Diagnostic &operator<<(const T &value)
    {
        if (stream)
            *stream << value;
        return *this;
    }

    // While set, problems go to the list and echoes nowhere; null sends both to the log again.
    static void collectInto(Findings *findings);
    // From limitLog() to endLimit() the log gets the first MaxShown problems; endLimit() writes
    // how many more there were.
    static void limitLog();
    static void endLimit();
    // The line the reader or the definitions are at, for what is reported meanwhile.
    static void setSource(const SourceLine &where);
    static SourceLine source();

private:
    QString text;
    std::optional<QDebug> stream;
    bool kept = false;
};
