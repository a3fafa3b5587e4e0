#include "config/diagnostic.h"

namespace {

Findings *gFindings = nullptr;
SourceLine gSource;
bool gLimited = false;
qsizetype gProblems = 0;   // problems reported since the log was limited

} // namespace

void Findings::add(const SourceLine &where, const QString &text)
{
    const size_t hash = qHashMulti(0, where.file, where.line, text);
    if (seen.contains(hash))
        return;
    seen.insert(hash);
    if (first.size() < Diagnostic::MaxShown)
        first.append(Finding{where, text});
    else
        ++more;
}

Diagnostic::Diagnostic(Kind kind)
{
    if (!gFindings) {
        if (kind == Problem && gLimited && ++gProblems > MaxShown)
            return;
        stream.emplace(kind == Echo ? QMessageLogger().debug() : QMessageLogger().warning());
    } else if (kind == Problem) {
        kept = true;
        stream.emplace(&text);
        stream->noquote();
    }
}

Diagnostic::~Diagnostic()
{
    stream.reset();   // writes the text out
    if (!kept || !gFindings)
        return;
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    gFindings->add(gSource, text);
}

void Diagnostic::collectInto(Findings *findings)
{
    gFindings = findings;
}

void Diagnostic::limitLog()
{
    gLimited = true;
    gProblems = 0;
}

void Diagnostic::endLimit()
{
    if (gLimited && gProblems > MaxShown)
        qWarning() << "Configuration diagnostics beyond the first" << MaxShown << "not written : " << gProblems - MaxShown;
    gLimited = false;
}

void Diagnostic::setSource(const SourceLine &where)
{
    gSource = where;
}

SourceLine Diagnostic::source()
{
    return gSource;
}
