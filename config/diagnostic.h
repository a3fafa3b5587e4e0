#pragma once

#include <QDebug>
#include <QList>
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

// One configuration diagnostic, streamed like qDebug(). It goes to the debug log unless a
// check collects findings; then problems go to its list, with the line being read or defined.
class Diagnostic
{
public:
    enum Kind { Problem, Echo };   // an echo of a definition is no finding

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
    static void collectInto(QList<Finding> *findings);
    // The line the reader or the definitions are at, for what is reported meanwhile.
    static void setSource(const SourceLine &where);
    static SourceLine source();

private:
    QString text;
    std::optional<QDebug> stream;
    bool kept = false;
};
