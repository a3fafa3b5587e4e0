#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include "config/diagnostic.h"

// One entry of the command line or of the configuration file.
struct ParamEntry
{
    QString key;
    QString value;
    QString rest;
    SourceLine origin;   // where it was defined; no file for the command line
};
Q_DECLARE_TYPEINFO(ParamEntry, Q_RELOCATABLE_TYPE);

// Every entry in the order added, with an exact and an upper-case index of the latest values.
class ParamStore
{
public:
    // Bounds on what configuration files may bring in, and on what the store keeps of them.
    static constexpr qsizetype MaxIncludeDepth = 32;      // files open at once along an INCLUDE chain
    static constexpr qint64 MaxFileSize = 16 << 20;       // bytes of one file
    static constexpr qint64 MaxTotalSize = 64 << 20;      // bytes of all files together
    static constexpr qsizetype MaxIncludes = 1000;        // INCLUDE lines followed, found or not
    static constexpr qsizetype MaxLineLength = 4 << 10;   // bytes of one line
    static constexpr qsizetype MaxEntries = 100000;       // entries read from files
    static constexpr qsizetype MaxEntryText = 16 << 20;   // characters of their keys, values and rests

    // The command line, then the file named by the last of the file options (the default
    // when none is given); an option given without a name reads no file.
    void init(int argc, char **argv, const QString &defaultFileName, const QStringList &fileOptions);
    // The file init chose by the command line; empty when an option named none.
    const QString &configFile() const { return chosenFile; }
    bool readFile(const QString &fileName);
    void addEntry(const QString &key, const QString &value, const QString &rest,
                  const SourceLine &origin = {});

    QString get(const QString &key, const QString &defaultValue) const;
    QString getIgnoreCase(const QString &key, const QString &defaultValue) const;
    QList<ParamEntry> entriesOf(const QString &key) const;
    // The latest entry of the key, exactly compared; null when there is none.
    const ParamEntry *latest(const QString &key) const;

    const QList<ParamEntry> &allEntries() const { return entries; }

private:
    void parseCommandLine(int argc, char **argv);
    // The latest value given to a key, and the key's upper-case form.
    struct Latest
    {
        QString value;
        QString upperKey;
    };

    bool readFileOnce(const QString &fileName);
    void readLine(QStringView line, const SourceLine &here);

    QList<ParamEntry> entries;
    QHash<QString, Latest> exactIndex;
    QHash<QString, QString> upperIndex;   // the latest value of each upper-case form
    QStringList reading;   // files of the INCLUDE chain now open, to stop cycles
    qint64 bytesRead = 0;
    qsizetype includes = 0;
    qsizetype entriesRead = 0;
    qsizetype entryText = 0;
    bool full = false;     // an entry bound was reached: nothing more is read
    QString chosenFile;
};

extern ParamStore gParams;
