#pragma once

#include "core/result.h"
#include "trust/minisignsecretkey.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class Staging;

// The signatures of a release's version file. The first key's signature is "<version file>.minisig",
// the name every launcher fetches; each further key's goes beside it as
// "<version file>.<key id>.minisig" (the key id as 16 hexadecimal digits), for launchers that trust
// that key. Their trusted comments carry the release time, the validity period when one is given and
// the version file's name.
// Each signature is also written as "<file>.<64 hex digits of the file's BLAKE2b-256>.minisig" (and
// "<file>.<digest>.<key id>.minisig"): a cache may pair a list with the fixed name of another list's
// signature, never with these. They stay when the list changes (launchers may still hold that list).
// A coming release's list is signed the same way under its own name, with its own time ("preload:")
// in place of the release time, so that launchers never take it for a release.
class ReleaseSigner {
public:
    enum class Error { None = 0, Refused, CannotRead, CannotWrite };
    enum class Kind { Release, Coming };

    // versionFileName: the file signed, the version file or (Kind::Coming) a coming release's list.
    ReleaseSigner(const QString &cdnDir, const QString &versionFileName, Kind kind = Kind::Release);
    // The same keys (and revocations) signing another file of the folder.
    ReleaseSigner forFile(const QString &fileName, Kind fileKind) const;

    // A secret key file; an encrypted one takes its password from $KV_PUBLISH_KEY_PASSWORD.
    Result<Error> addKey(const QString &secretKeyPath);
    bool isSigning() const { return !keys.isEmpty(); }
    // The key of a public key file is revoked in this run: its secret key (given with addKey) signs the
    // revocation, and no longer the version file.
    Result<Error> revoke(const QString &publicKeyPath);
    bool isRevoking() const { return !revoking.isEmpty(); }
    // Some key that is not revoked signs the version file.
    bool hasKeyLeft() const { return keys.size() > revoking.size(); }
    const QList<MinisignSecretKey> &signingKeys() const { return keys; }

    // The signatures in the folder: the first key's and those named after a key id.
    QStringList signaturesInPlace() const;

    // The version file in place must verify with one of the keys through one of its signatures
    // (Refused otherwise: it was changed on the CDN, or signed by keys not given). A run stopped between
    // putting the signatures and the version file in place left the version file they sign staged: it
    // is put in place first, completing that run (CannotWrite when that fails). note: what was found.
    Result<Error> checkCurrent(QString *note);
    // From checkCurrent: the newest signed release time (-1 when unsigned) and its validity in days
    // (0 without one).
    qint64 previousTime() const { return previous; }
    int previousValidDays() const { return previousDays; }

    // Stages "<version file>.revoked": the revocations published before, and those of this run, signed
    // by the keys they revoke. note: what was revoked.
    Result<Error> stageRevocations(Staging *staging, QString *note);
    // Signs text with every key not revoked (release time after the previous one, validDays 0 for no
    // period; a coming list's time after the previous list's, without a period) and stages the
    // signatures, the first key's last. note: what was signed.
    Result<Error> stage(Staging *staging, const QByteArray &text, int validDays, QString *note);
    // The signatures staged under the signed list's digest ("<file>.<digest>.minisig", then key ids).
    QStringList digestSignatures() const { return digestWritten; }
    // Once the new files are in place: removes key-id signatures that no key of this run wrote (they
    // sign an earlier version file).
    void removeStale() const;

    // Up to the launcher's limit of the file at path; empty when it cannot be read.
    static QByteArray readListed(const QString &path);

private:
    QString cdn;
    QString versionFile;
    Kind kind;
    QList<MinisignSecretKey> keys;
    QList<QByteArray> revoking; // key ids
    QStringList written;        // signature names of this run
    QStringList digestWritten;  // the same signatures under the list's digest
    qint64 previous = -1;
    int previousDays = 0;
};
