#pragma once

#include "core/result.h"
#include "trust/minisignsecretkey.h"

#include <QList>
#include <QString>
#include <QStringList>

class RcloneRemote;

// Removes from an origin what no launcher can ask for any more: versioned files (with their maps and
// indexes) and digest-named signatures that neither the live nor the coming list names. The lists are
// read from the origin and must verify with the keys given. When a name was first found unnamed is
// kept on the origin in "<version file>.pruning"; a name goes once it has been unnamed for the days
// given, so launchers still holding an older list (and its pieces half-fetched) are served meanwhile.
class Pruner {
public:
    enum class Error { None = 0, Refused, Failed };

    Pruner(const QString &versionFile, const QList<MinisignSecretKey> &keys, int days);
    // lines: what was removed or noted.
    Result<Error> run(const QString &remote, QStringList *lines);

    static QString recordName(const QString &versionFile) { return versionFile + QStringLiteral(".pruning"); }

private:
    // The list on the origin, verified; an empty body when the origin has none.
    Result<Error> readList(const RcloneRemote &remote, const QStringList &there, const QString &list,
                           bool coming, QByteArray *body) const;

    QString versionFile;
    QString publicKeys;
    qint64 keepSecs;
};
