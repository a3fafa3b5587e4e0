#include "config/paramstore.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

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
    entries.squeeze();   // the store is only read from here on
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

namespace {

// Nothing but ASCII white space before the end or a comment: blank without decoding.
bool blankBytes(QByteArrayView line)
{
    for (const char c : line) {
        if (c == '#')
            return true;
        if (c != ' ' && (c < '\t' || c > '\r'))
            return false;
    }
    return true;
}

} // namespace

bool ParamStore::readFileOnce(const QString &fileName)
{
    QFile file(fileName);
    // An empty name fails like a missing file, without Qt's own warning on the log; so does
    // anything but a regular file, which could block the node or never end.
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly)) {
        Diagnostic() << "Can't open config file : " << fileName;
        return false;
    }
    if (file.size() > MaxFileSize || bytesRead + file.size() > MaxTotalSize) {
        Diagnostic() << "Config file too large, not read : " << fileName;
        return false;
    }
    bytesRead += file.size();
    // Whole, as long as it was when opened: a file that grows meanwhile is cut there.
    QByteArray bytes(file.size(), Qt::Uninitialized);
    bytes.truncate(qMax<qint64>(file.read(bytes.data(), bytes.size()), 0));
    file.close();
    qsizetype from = 0;
    const auto encoding = QStringConverter::encodingForData(bytes);
    if (encoding == QStringConverter::Utf8)
        from = 3;   // its byte-order mark
    else if (encoding)   // UTF-16 or UTF-32, by its byte-order mark
        bytes = QString(QStringDecoder(*encoding).decode(bytes)).toUtf8();

    // Each line goes to the decoder with its line end, so that a broken sequence ends where the
    // line does and one cut off at the end of the file is dropped, as in a text stream; like
    // one, the reader drops every carriage return once decoded.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString line;
    const SourceLine including = Diagnostic::source();
    SourceLine here{fileName, 0};
    while (from < bytes.size() && !full) {
        qsizetype end = bytes.indexOf('\n', from);
        end = end < 0 ? bytes.size() : end + 1;
        const QByteArrayView raw(bytes.constData() + from, end - from);
        from = end;
        ++here.line;
        if (blankBytes(raw))
            continue;
        Diagnostic::setSource(here);
        if (raw.size() - (raw.endsWith("\r\n") ? 2 : raw.endsWith('\n')) > MaxLineLength) {
            Diagnostic() << "Config line" << here.line << "longer than" << MaxLineLength << "bytes, not read : "
                         << fileName;
            continue;
        }
        line.resize(raw.size());
        line.truncate(decoder.appendToBuffer(line.data(), raw) - line.constData());
        if (line.endsWith(QLatin1Char('\n')))
            line.chop(1);
        line.remove(QLatin1Char('\r'));
        readLine(line, here);
    }
    Diagnostic::setSource(including);
    return true;
}

void ParamStore::readLine(QStringView line, const SourceLine &here)
{
    const QStringView text = stripComment(line);
    if (text.trimmed().isEmpty())
        return;
    QString key;
    const QStringView rest = takeItem(text, key);
    QString value;
    if (key.toUpper() == QLatin1String("INCLUDE")) {
        if (++includes > MaxIncludes) {
            if (includes == MaxIncludes + 1) {
                takeItem(rest, value);
                Diagnostic() << "More than" << MaxIncludes << "INCLUDEs, this and later ones not read : " << value;
            }
            return;
        }
        takeItem(rest, value);
        readFile(value);
        return;
    }
    if (entriesRead >= MaxEntries) {
        Diagnostic() << "More than" << MaxEntries << "entries, line" << here.line << "and later not read : "
                     << here.file;
        full = true;
        return;
    }
    takeItem(rest, value);
    const qsizetype kept = key.size() + value.size() + rest.size();
    if (entryText + kept > MaxEntryText) {
        Diagnostic() << "More than" << MaxEntryText << "characters in entries, line" << here.line
                     << "and later not read : " << here.file;
        full = true;
        return;
    }
    ++entriesRead;
    entryText += kept;
    addEntry(key, value, rest.toString(), here);
}

void ParamStore::addEntry(const QString &key, const QString &value, const QString &rest,
                          const SourceLine &origin)
{
    auto found = exactIndex.find(key);
    if (found == exactIndex.end())
        found = exactIndex.insert(key, Latest{value, key.toUpper()});
    else
        found->value = value;
    upperIndex.insert(found->upperKey, value);
    // The index's copy of the key: the entries of one key share its text.
    entries.append(ParamEntry{found.key(), value, rest, origin});
}

QString ParamStore::get(const QString &key, const QString &defaultValue) const
{
    const auto found = exactIndex.constFind(key);
    return found == exactIndex.constEnd() ? defaultValue : found->value;
}

QString ParamStore::getIgnoreCase(const QString &key, const QString &defaultValue) const
{
    return upperIndex.value(key.toUpper(), defaultValue);
}

QList<ParamEntry> ParamStore::entriesOf(const QString &key) const
{
    QList<ParamEntry> found;
    found.reserve(std::count_if(entries.cbegin(), entries.cend(), [&key](const ParamEntry &e) { return e.key == key; }));
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
