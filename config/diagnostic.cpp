#include "config/diagnostic.h"

namespace {

QList<Finding> *gFindings = nullptr;
SourceLine gSource;

} // namespace

Diagnostic::Diagnostic(Kind kind)
{
    if (!gFindings) {
        stream.emplace(QMessageLogger().debug());
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
    gFindings->append(Finding{gSource, text});
}

void Diagnostic::collectInto(QList<Finding> *findings)
{
    gFindings = findings;
}

void Diagnostic::setSource(const SourceLine &where)
{
    gSource = where;
}

SourceLine Diagnostic::source()
{
    return gSource;
}
