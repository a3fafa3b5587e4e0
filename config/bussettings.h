#pragma once

#include <QString>
#include <QStringList>

class ParamStore;

// The bus parameters of the configuration, each its latest value or its default.
struct BusSettings
{
    QString server;
    QString port;      // as given
    QString name;      // the node's name on the bus
    QString keyFile;   // the key file's base name, without ".key"

    static BusSettings from(const ParamStore &params);
    // The configuration keys read here.
    static QStringList keys();

    // The port as the link uses it: decimal text, 0 when not a number, low 16 bits.
    quint16 portNumber() const;

    // "KEY changed from A to B" for each setting that differs from before; the port as its number.
    QStringList changesFrom(const BusSettings &before) const;
};
