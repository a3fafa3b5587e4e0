#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVarLengthArray>

#include <chrono>
#include <functional>
#include <optional>

class Orvex;
class ParamStore;
class SMsg;
class aPm;
class anAlias;
struct TravelRange;

// The controller proxies and the aliases that the configuration defines, in the order of its
// lines, with the indexes the node finds them by. Owns them.
class Definitions
{
    Q_DISABLE_COPY_MOVE(Definitions)

public:
    // The configuration keys read here.
    static const QStringList &keys();
    // How long a GetValue waits for its controllers, unless GETVALUE_TIMEOUT says otherwise.
    static constexpr std::chrono::milliseconds DefaultValueTimeLimit{5000};

    Definitions() = default;
    ~Definitions();

    // Builds the proxies and aliases of the store's PM, ALIAS and limits entries, with a
    // diagnostic for each bad line; they write through the link once it is connected.
    void load(const ParamStore &params, Orvex *link);

    // What a reload changed.
    struct Changes
    {
        int added = 0;
        int removed = 0;
        int changed = 0;
        QList<aPm *> newChannels;   // a proxy of each controller address the old ones lacked
    };
    // Takes over, on a reload, what the running definitions know: each controller's state by
    // its address, each alias's by its name. The aliases that are gone answer their waiting
    // GetValue requests; old keeps its objects, to be deleted with it.
    Changes takeOver(Definitions &old);

    aPm *findPm(const QString &id) const;
    anAlias *findAlias(const QString &name) const;

    // Hands a controller's reply or event to the proxies of its sender's address, in the
    // order they were defined; nothing when there is none.
    void route(const SMsg &msg, void (aPm::*take)(const SMsg &)) const;
    bool hasAddress(const QString &address) const { return pmsByAddress.contains(address); }

    std::chrono::milliseconds valueTimeLimit() const { return valueLimit; }
    const QList<aPm *> &controllers() const { return pmList; }
    const QList<anAlias *> &aliases() const { return aliasList; }
    QString aliasNames() const;

private:
    // False when an alias of that name exists already.
    bool addAlias(const QString &name, aPm *pm1, aPm *pm2, const QString &factor1,
                  const QString &factor2, const QString &offset, Orvex *link);

    using Proxies = QVarLengthArray<aPm *, 1>;

    void loadLimits(const ParamStore &params, const QString &key, const QString &what,
                    const std::function<std::optional<TravelRange> *(const QString &)> &find);

    std::chrono::milliseconds valueLimit = DefaultValueTimeLimit;
    QList<aPm *> pmList;
    QList<anAlias *> aliasList;
    // Indexes beside the lists, so that no line costs a walk over every definition.
    QHash<QString, aPm *> pmById;                // the first proxy of each id
    QHash<QString, anAlias *> aliasByName;
    QHash<QString, Proxies> pmsByAddress;        // in creation order
};
