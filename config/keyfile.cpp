#include "config/keyfile.h"

#include <QFile>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/diagnostic.h"

namespace {

// As bytes, so that the log shows the line as --check does, without quotes around it.
void tell(const QString &text)
{
    Diagnostic() << text.toLocal8Bit().constData();
}

} // namespace

QStringList KeyFile::read(const QString &base)
{
    const QString path = base + QStringLiteral(".key");
    const QString named = QStringLiteral("Key file %1 (KEY_FILE %2 and \".key\"): ").arg(path, base);
    // Opened without waiting, so that a pipe cannot block the node before it is found to be one.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        tell(named + QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        tell(named + file.errorString());
        return {};
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        tell(named + QStringLiteral("not a regular file"));
        return {};
    }
    if (st.st_size > MaxSize) {
        tell(named + QStringLiteral("larger than %1 bytes").arg(MaxSize));
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
    if (keys.isEmpty()) {
        tell(named + QStringLiteral("holds no key"));
        return {};
    }
    return keys;
}

QString KeyFile::openToAnyone(const QString &base)
{
    const QString path = base + QStringLiteral(".key");
    struct stat st = {};
    // The login secrets, open to every user of the host.
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IROTH))
        return QStringLiteral("Key file %1 can be read by anyone: chmod o-r %1").arg(path);
    return {};
}
