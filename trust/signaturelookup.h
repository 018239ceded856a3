#pragma once

#include "trust/releaseverifier.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Which signatures of a signed list (the version file or a coming release's list) a launcher asks one
// host for, in turn, and what their answers add up to. First the copy named by the list's own digest
// ("<list>.<digest>.minisig", then its key-id copies when a key of ours did not sign it): a cache cannot
// serve it beside another list. A host without digest names, or one whose digest-named signature is
// refused (expired, older than what was accepted, by a revoked key), is asked for today's names
// ("<list>.minisig", then the key-id ones), and the first signature that verifies is taken.
class SignatureLookup {
public:
    enum class Kind { Release, Coming };

    // verifier: the trusted keys, with the revoked ones set. newestAccepted: the signed time of the
    // newest list accepted before (-1 for none). now: for a release's validity period (-1: unchecked).
    SignatureLookup(const ReleaseVerifier &verifier, Kind kind, const QString &signedFile,
                    const QByteArray &list, qint64 newestAccepted, qint64 now = -1);

    // The name to ask for next; empty once the lookup is decided.
    QString next() const { return names.value(index); }
    bool isDone() const { return index >= names.size(); }

    // The body of the file asked for.
    void answered(const QByteArray &signature);
    // It did not come: why, and whether the host answered at all (a 404 is an answer).
    void notAnswered(const QString &why, bool hostAnswered);

    // Once done: the accepted signature's result (ok), else the refusal that stands: an expired
    // release when one was seen, else why today's default signature was refused.
    ReleaseVerifier::Result result() const;
    // Refused, and a trusted key signed other bytes: the list and its signature came from two
    // publications, and asking again a little later may find them together.
    bool listMismatch() const { return !accepted.ok && mismatchSeen; }
    // Refused, and the last signature asked for got no answer from the host at all.
    bool lastUnanswered() const { return !accepted.ok && unanswered; }
    // Today's default signature came, whatever it said: the refusal is the list's, not the host's.
    bool defaultAnswered() const { return todayAnswered; }

private:
    void take(const ReleaseVerifier::Result &r);
    void refusedOne(const QString &why, const ReleaseVerifier::Result &r, bool hostAnswered);
    void startTodaysNames();

    ReleaseVerifier verifier;
    Kind kind;
    QString file;
    QByteArray list;
    qint64 newest;
    qint64 now;
    QStringList names;
    int index = 0;
    int todayStart = -1; // index of today's default name, once asked for
    ReleaseVerifier::Result accepted;
    ReleaseVerifier::Result expiredSeen;
    ReleaseVerifier::Result todayRefusal; // today's default signature's
    QString todayFirstReason;
    bool mismatchSeen = false;
    bool unanswered = false;
    bool todayAnswered = false;
};
