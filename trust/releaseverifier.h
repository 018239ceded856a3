#pragma once

#include "trust/minisignpublickey.h"

#include <QByteArray>
#include <QString>

// Checks a version file against its detached minisign signature with the publisher's public key,
// before anything of the file is read. A release older than the newest one already accepted is
// refused, so a replayed old (still correctly signed) version file cannot roll an installation back.
class ReleaseVerifier {
public:
    struct Result {
        bool ok = false;
        QString reason;        // why it was refused, for the log and the failure event
        qint64 timestamp = -1; // the signed release time of an accepted file
    };

    // publicKey: minisign's one-line base64 form; empty means verification is off.
    explicit ReleaseVerifier(const QString &publicKey);

    bool isEnabled() const { return enabled; }
    const MinisignPublicKey &publicKey() const { return publisherKey; }

    // newestAccepted: the signed time of the newest release accepted before, -1 for none. A release
    // of the same time is accepted (the same file fetched again). signedFile: the name the trusted
    // comment must give the file ("file:<name>"), so that no other file signed with the same key can
    // stand in for it; empty leaves the name unchecked.
    Result verify(const QByteArray &data, const QByteArray &signatureFile, qint64 newestAccepted = -1,
                  const QString &signedFile = QString()) const;

    // The message that is signed for data: the data itself (legacy) or its BLAKE2b-512 digest.
    static QByteArray signedMessage(const QByteArray &data, bool prehashed);

private:
    bool enabled = false;
    MinisignPublicKey publisherKey;
};
