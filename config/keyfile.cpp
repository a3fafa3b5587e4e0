#include "config/keyfile.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include "config/diagnostic.h"

namespace {

bool openRegular(QFile &file)
{
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly | QIODevice::Text);
}

} // namespace

QStringList KeyFile::read(const QString &base)
{
    QFile file(base + QStringLiteral(".key"));
    if (!openRegular(file)) {
        Diagnostic() << QStringLiteral("Cannot open [%1.key]").arg(base);
        file.setFileName(QStringLiteral(":") + base + QStringLiteral(".key"));
        if (!openRegular(file)) {
            Diagnostic() << QStringLiteral("Cannot open [:%2.key]").arg(base);
            return {};
        }
    }
    if (file.size() > MaxSize) {
        Diagnostic() << QStringLiteral("Key file [%1] is larger than %2 bytes, not read").arg(file.fileName(), QString::number(MaxSize));
        return {};
    }
    QTextStream in(&file);
    QStringList keys;
    while (!in.atEnd()) {
        QString word;
        in >> word;
        if (!word.isEmpty())
            keys.append(word);
    }
    // No challenge could ever select a key; better to stop before connecting.
    if (keys.isEmpty())
        Diagnostic() << QStringLiteral("No key in [%1]").arg(file.fileName());
    return keys;
}
