#include "trust/signaturelookup.h"

#include <QDebug>

SignatureLookup::SignatureLookup(const ReleaseVerifier &verifier, Kind kind, const QString &signedFile,
                                 const QByteArray &list, qint64 newestAccepted, qint64 now)
    : verifier(verifier)
    , kind(kind)
    , file(signedFile)
    , list(list)
    , newest(newestAccepted)
    , now(now) {
    names << ReleaseVerifier::digestSignatureName(file, list, QByteArray(), true);
}

void SignatureLookup::answered(const QByteArray &signature) {
    const ReleaseVerifier::Result r = kind == Kind::Coming
                                          ? verifier.verifyComing(list, signature, newest, file)
                                          : verifier.verify(list, signature, newest, file, now);
    unanswered = false;
    if (r.ok) {
        take(r);
        return;
    }
    refusedOne(r.reason, r, true);
}

void SignatureLookup::notAnswered(const QString &why, bool hostAnswered) {
    refusedOne(why, ReleaseVerifier::Result(), hostAnswered);
}

void SignatureLookup::take(const ReleaseVerifier::Result &r) {
    accepted = r;
    index = names.size();
}

void SignatureLookup::refusedOne(const QString &why, const ReleaseVerifier::Result &r, bool hostAnswered) {
    unanswered = !hostAnswered;
    mismatchSeen = mismatchSeen || r.mismatch;
    if (r.expired && !expiredSeen.expired)
        expiredSeen = r;
    const bool digestPhase = todayStart < 0;
    if (digestPhase) {
        qDebug().noquote() << "digest-named signature not taken, " + names.at(index) + ": " + why;
        // No digest name on this host (published before they were): neither are there key-id ones.
        if (index == 0 && !r.authentic && !r.reason.isEmpty())
            names << verifier.digestSignatureNames(file, list, r.keyId).mid(1);
        if (index == 0 && r.reason.isEmpty()) {
            startTodaysNames();
            return;
        }
        if (++index >= names.size())
            startTodaysNames();
        return;
    }
    if (index == todayStart) {
        todayAnswered = !r.reason.isEmpty();
        todayRefusal = r;
        todayRefusal.reason = why;
        todayFirstReason = why;
        // Signed by a trusted key but refused for its age: another key's signature says the same.
        if (r.authentic) {
            index = names.size();
            return;
        }
        names << verifier.signatureNames(file, r.keyId).mid(1);
    }
    if (++index < names.size())
        qDebug().noquote() << "signature refused, trying another key's: " + why;
}

void SignatureLookup::startTodaysNames() {
    names = names.mid(0, index + 1);
    todayStart = names.size();
    names << ReleaseVerifier::signatureName(file, QByteArray(), true);
    index = todayStart;
}

ReleaseVerifier::Result SignatureLookup::result() const {
    if (accepted.ok)
        return accepted;
    if (expiredSeen.expired)
        return expiredSeen;
    ReleaseVerifier::Result r = todayRefusal;
    if (!r.authentic && names.size() - todayStart > 1)
        r.reason = todayFirstReason + QStringLiteral("; no other trusted key's signature verifies");
    return r;
}
