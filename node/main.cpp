#include <QCoreApplication>

#include "config/paramstore.h"
#include "node/body.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    gParams.init(argc, argv, true, QStringLiteral("config.cfg"),
                 {QStringLiteral("-c"), QStringLiteral("-config")});
    Body body;
    return app.exec();
}
