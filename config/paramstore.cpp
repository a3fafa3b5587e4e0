#include "config/paramstore.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include "config/items.h"

ParamStore gParams;

void ParamStore::init(int argc, char **argv, const QString &defaultFileName, const QStringList &fileOptions)
{
    parseCommandLine(argc, argv);
    chosenFile = defaultFileName;
    for (const QString &option : fileOptions)
        chosenFile = getIgnoreCase(option, chosenFile);
    if (!chosenFile.isEmpty())
        readFile(chosenFile);
}

void ParamStore::parseCommandLine(int argc, char **argv)
{
    QStringList words;
    for (int i = 0; i < argc; ++i)
        words.append(QString::fromUtf8(argv[i]));

    int i = 0;
    while (i < words.size()) {
        const QString &word = words.at(i);
        if (!word.startsWith(QLatin1Char('-'))) {
            ++i;
            continue;
        }
        QStringList optionArgs;
        int j = i + 1;
        while (j < words.size() && !words.at(j).startsWith(QLatin1Char('-')))
            optionArgs.append(words.at(j++));
        addEntry(word, optionArgs.value(0), optionArgs.join(QLatin1Char(' ')));
        i = j;
    }
}

bool ParamStore::readFile(const QString &fileName)
{
    const QFileInfo info(fileName);
    const QString identity = info.exists() ? info.canonicalFilePath() : QString();
    if (!identity.isEmpty() && reading.contains(identity)) {
        Diagnostic() << "INCLUDE leads back to a file being read, not read again : " << fileName;
        return false;
    }
    if (reading.size() >= MaxIncludeDepth) {
        Diagnostic() << "INCLUDE nested deeper than" << MaxIncludeDepth << "files, not read : " << fileName;
        return false;
    }
    if (!identity.isEmpty())
        reading.append(identity);
    const bool opened = readFileOnce(fileName);
    if (!identity.isEmpty())
        reading.removeLast();
    return opened;
}

bool ParamStore::readFileOnce(const QString &fileName)
{
    QFile file(fileName);
    // An empty name fails like a missing file, without Qt's own warning on the log; so does
    // anything but a regular file, which could block the node or never end.
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile()
        || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        Diagnostic() << "Can't open config file : " << fileName;
        return false;
    }
    if (file.size() > MaxFileSize || bytesRead + file.size() > MaxTotalSize) {
        Diagnostic() << "Config file too large, not read : " << fileName;
        return false;
    }
    bytesRead += file.size();
    QTextStream in(&file);
    QString line;
    const SourceLine including = Diagnostic::source();
    SourceLine here{fileName, 0};
    // A file that grows while it is read is cut at the bound.
    while (file.pos() <= MaxFileSize && in.readLineInto(&line)) {
        ++here.line;
        Diagnostic::setSource(here);
        const QString text = stripComment(line);
        if (text.trimmed().isEmpty())
            continue;
        QString key;
        QString value;
        const QString rest = takeItem(text, key);
        takeItem(rest, value);
        if (key.toUpper() == QLatin1String("INCLUDE"))
            readFile(value);
        else
            addEntry(key, value, rest, here);
    }
    Diagnostic::setSource(including);
    file.close();
    return true;
}

void ParamStore::Index::setLatest(const QString &key, const QString &value)
{
    const auto found = position.constFind(key);
    if (found != position.constEnd()) {
        values[*found] = value;
        return;
    }
    position.insert(key, values.size());
    values.append(value);
}

QString ParamStore::Index::lookup(const QString &key, const QString &defaultValue) const
{
    const auto found = position.constFind(key);
    return found == position.constEnd() ? defaultValue : values.at(*found);
}

void ParamStore::addEntry(const QString &key, const QString &value, const QString &rest,
                          const SourceLine &origin)
{
    exactIndex.setLatest(key, value);
    upperIndex.setLatest(key.toUpper(), value);
    entries.append(ParamEntry{key, value, rest, origin});
}

QString ParamStore::get(const QString &key, const QString &defaultValue) const
{
    return exactIndex.lookup(key, defaultValue);
}

QString ParamStore::getIgnoreCase(const QString &key, const QString &defaultValue) const
{
    return upperIndex.lookup(key.toUpper(), defaultValue);
}

QList<ParamEntry> ParamStore::entriesOf(const QString &key) const
{
    QList<ParamEntry> found;
    for (const ParamEntry &e : entries) {
        if (e.key == key)
            found.append(e);
    }
    return found;
}

const ParamEntry *ParamStore::latest(const QString &key) const
{
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        if (entries.at(i).key == key)
            return &entries.at(i);
    }
    return nullptr;
}
