#pragma once

#include "trust/minisignpublickey.h"
#include "trust/minisignsecretkey.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The revocation of a release key: a minisign signature, by that very key, of the statement
// "revoke <key id>\n", whose trusted comment is "timestamp:<unix seconds>\trevoke:<key id>" (the key id
// as 16 hexadecimal digits). Only the holder of a key can revoke it, so a leaked key cannot revoke a
// good one. A release's revocations are published together in "<version file>.revoked", one signature
// file after the other.
class KeyRevocation {
public:
    static constexpr int MaxFileSize = 64 * 1024;
    static constexpr int MaxEntries = 16;

    // "<version file>.revoked"
    static QString fileName(const QString &versionFile) { return versionFile + QStringLiteral(".revoked"); }
    static QByteArray statement(const QByteArray &keyId);
    // The revocation of key, as a signature file (four lines).
    static QByteArray make(const MinisignSecretKey &key, qint64 time);

    // The four-line signature files of a revocations file, in order; empty (with why) for a file larger
    // than MaxFileSize, with more than MaxEntries entries or with one that is not a signature.
    static QList<QByteArray> entries(const QByteArray &file, QString *why);
    // The key revoked by one entry, when the entry is a revocation signed by that key and the key is
    // among trusted; empty otherwise, with why.
    static QByteArray revokedKey(const QByteArray &entry, const QList<MinisignPublicKey> &trusted,
                                 QString *why);
    // The key id the entry's trusted comment names (16 hexadecimal digits), without checking anything else.
    static QString namedKey(const QByteArray &entry);
    // A key id in the text form the statement uses; an empty array for text that is not one.
    static QByteArray keyIdFromText(const QString &text);
};
