#include <QCoreApplication>
#include <QTextStream>

#include "config/paramstore.h"
#include "node/body.h"
#include "node/check.h"
#include "node/options.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const StartMode mode = startModeOf(QCoreApplication::arguments());
    if (mode == StartMode::Help || mode == StartMode::Version) {
        out << (mode == StartMode::Help ? helpText() : versionText());
        return 0;
    }
    QList<Finding> findings;
    if (mode == StartMode::Check)
        Diagnostic::collectInto(&findings);
    gParams.init(argc, argv, true, QStringLiteral("config.cfg"),
                 {QStringLiteral("-c"), QStringLiteral("-config")});
    Diagnostic::collectInto(nullptr);
    if (mode == StartMode::Check)
        return checkConfiguration(findings, out);
    Body body;
    return app.exec();
}
