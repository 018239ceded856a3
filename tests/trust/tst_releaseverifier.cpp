// Release signatures: minisign's file format both ways (our signer and verifier against the
// `minisign` command), and the verifier's refusals.
#include "support/testfiles.h"
#include "support/testkeys.h"
#include "trust/keyrevocation.h"
#include "trust/minisignsecretkey.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray VersionText("Kestrivane.exe:0.12:0123456789abcdef0123456789abcdef:1234\n"
                             "game.zip:7:fedcba9876543210fedcba9876543210:99\n");

MinisignSecretKey releaseKey() {
    return MinisignSecretKey::parse(TestKeys::ReleaseSecretFile);
}

QByteArray signFile(const QByteArray &data, qint64 time, bool prehashed = true,
                    const char *secretFile = TestKeys::ReleaseSecretFile,
                    const QByteArray &file = "\tfile:version3.txt") {
    const QByteArray comment = "timestamp:" + QByteArray::number(time) + file;
    return MinisignSecretKey::parse(secretFile).sign(data, comment, prehashed).toFile("signature from test");
}

} // namespace

using TestFiles::readFile;
using TestFiles::writeFile;

class ReleaseVerifierTest : public QObject {
    Q_OBJECT

private slots:
    void keys() {
        const MinisignSecretKey secret = releaseKey();
        QVERIFY2(secret.isValid(), qPrintable(secret.error()));
        QCOMPARE(secret.publicKey().toBase64(), QByteArray(TestKeys::ReleasePublic));
        const MinisignPublicKey pub =
            MinisignPublicKey::parse(QByteArray("untrusted comment: minisign public key 5F4CDA07E8AC0921\n") +
                                     TestKeys::ReleasePublic + "\n");
        QVERIFY2(pub.isValid(), qPrintable(pub.error()));
        QCOMPARE(MinisignPublicKey::keyIdText(pub.keyId()), QStringLiteral("5F4CDA07E8AC0921"));
        QVERIFY(!MinisignPublicKey::parse("RWQhCazoB9pMX87H").isValid());
        QVERIFY(!MinisignPublicKey::parse(QByteArray(TestKeys::ReleasePublic).replace('Q', '!')).isValid());
        QVERIFY(!MinisignPublicKey::parse(QByteArray(5000, 'A')).isValid());
        // A damaged secret key is refused rather than signing with garbage.
        QByteArray damaged(TestKeys::ReleaseSecretFile);
        damaged[160] = damaged.at(160) == 'A' ? 'B' : 'A';
        QVERIFY(!MinisignSecretKey::parse(damaged).isValid());
    }

    void verify_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<qint64>("newestAccepted");
        QTest::addColumn<QString>("refusal"); // empty: accepted

        const QByteArray good = signFile(VersionText, 1700000000);
        QTest::newRow("prehashed") << VersionText << good << qint64(-1) << QString();
        QTest::newRow("legacy") << VersionText << signFile(VersionText, 1700000000, false) << qint64(-1)
                                << QString();
        QTest::newRow("same release again") << VersionText << good << qint64(1700000000) << QString();
        QByteArray crlf = good;
        QTest::newRow("CRLF line ends")
            << VersionText << crlf.replace("\n", "\r\n") << qint64(-1) << QString();
        QTest::newRow("older release") << VersionText << good << qint64(1700000001) << "rollback refused";
        QTest::newRow("changed after signing") << VersionText + "evil.exe:1:00:1\n"
                                               << good << qint64(-1) << "does not match the version file";
        QTest::newRow("another key") << VersionText
                                     << signFile(VersionText, 1700000000, true, TestKeys::OtherSecretFile)
                                     << qint64(-1) << "signed by another key (AA8B1CAA9DA4BC18";
        QByteArray comment = good;
        comment.replace("timestamp:1700000000", "timestamp:1900000000");
        QTest::newRow("trusted comment changed")
            << VersionText << comment << qint64(-1) << "trusted comment does not match";
        const QByteArray untimed = releaseKey().sign(VersionText, "file:version3.txt").toFile("x");
        QTest::newRow("no release time") << VersionText << untimed << qint64(-1) << "no release time";
        QTest::newRow("missing") << VersionText << QByteArray() << qint64(-1) << "signature file is empty";
        QTest::newRow("truncated") << VersionText << good.left(good.size() / 2) << qint64(-1)
                                   << "lines instead of 4";
        QTest::newRow("garbage") << VersionText << QByteArray("<html>502 Bad Gateway</html>\n") << qint64(-1)
                                 << "lines instead of 4";
        QByteArray badBase64 = good;
        badBase64[good.indexOf('\n') + 5] = '*';
        QTest::newRow("bad base64") << VersionText << badBase64 << qint64(-1)
                                    << "signature line is not 74 bytes";
        QByteArray unknown = good;
        const int line2 = good.indexOf('\n') + 1;
        unknown.replace(line2, 4, QByteArray("XX").toBase64().left(3) + unknown.mid(line2 + 3, 1));
        QTest::newRow("unknown algorithm")
            << VersionText << unknown << qint64(-1) << "unknown signature algorithm";
        QTest::newRow("oversized") << VersionText << good + QByteArray(MinisignSignature::MaxFileSize, '\n')
                                   << qint64(-1) << "larger than 16384 bytes";
        // Another file signed with the release key cannot stand in for the version file.
        const char *key = TestKeys::ReleaseSecretFile;
        QTest::newRow("another file")
            << VersionText << signFile(VersionText, 1700000000, true, key, "\tfile:notes.txt") << qint64(-1)
            << "signed as \"notes.txt\", not version3.txt";
        QTest::newRow("no file named") << VersionText << signFile(VersionText, 1700000000, true, key, "")
                                       << qint64(-1) << "trusted comment names no file";
        QTest::newRow("file named further on")
            << VersionText << signFile(VersionText, 1700000000, true, key, "\thashed\tfile:version3.txt")
            << qint64(-1) << QString();
        QTest::newRow("a longer name")
            << VersionText << signFile(VersionText, 1700000000, true, key, "\tfile:version3.txt.bak")
            << qint64(-1) << "not version3.txt";
    }

    void verify() {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, signature);
        QFETCH(qint64, newestAccepted);
        QFETCH(QString, refusal);
        const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
        QVERIFY(verifier.isEnabled());
        const ReleaseVerifier::Result r =
            verifier.verify(data, signature, newestAccepted, QStringLiteral("version3.txt"));
        if (refusal.isEmpty()) {
            QVERIFY2(r.ok, qPrintable(r.reason));
            QCOMPARE(r.timestamp, qint64(1700000000));
        } else {
            QVERIFY(!r.ok);
            QVERIFY2(r.reason.contains(refusal), qPrintable(r.reason));
        }
    }

    // The validity period: the day of slack for players' clocks ends exactly at its second; a period
    // that cannot be read is the publisher's error and refuses the file; a release without one never
    // expires; an older release is a rollback whatever its period.
    void validityPeriod_data() {
        QTest::addColumn<QByteArray>("fields"); // after the release time
        QTest::addColumn<qint64>("now");
        QTest::addColumn<qint64>("newestAccepted");
        QTest::addColumn<QString>("outcome"); // "ok", "expired" or a refusal's text

        const qint64 t = 1700000000;
        const qint64 end = t + 7 * 86400;
        QTest::newRow("within") << QByteArray("\tvalid_days:7") << end << qint64(-1) << "ok";
        QTest::newRow("last second of the slack")
            << QByteArray("\tvalid_days:7") << end + 86400 << qint64(-1) << "ok";
        QTest::newRow("one second past the slack")
            << QByteArray("\tvalid_days:7") << end + 86401 << qint64(-1) << "expired";
        QTest::newRow("no period never expires") << QByteArray() << t + 3650 * 86400LL << qint64(-1) << "ok";
        QTest::newRow("not checked without a time")
            << QByteArray("\tvalid_days:1") << qint64(-1) << qint64(-1) << "ok";
        QTest::newRow("rollback before expiry")
            << QByteArray("\tvalid_days:1") << t + 30 * 86400 << t + 1 << "rollback refused";
        for (const char *bad : {"0", "3651", "", "7d", "-1", "99999"})
            QTest::addRow("period \"%s\"", bad)
                << QByteArray("\tvalid_days:") + bad << t << qint64(-1) << "unreadable validity period";
    }

    void validityPeriod() {
        QFETCH(QByteArray, fields);
        QFETCH(qint64, now);
        QFETCH(qint64, newestAccepted);
        QFETCH(QString, outcome);
        const QByteArray signature = signFile(VersionText, 1700000000, true, TestKeys::ReleaseSecretFile,
                                              fields + "\tfile:version3.txt");
        // Launchers that know no period still read the release time up to the first tab.
        QCOMPARE(MinisignSignature::parse(signature).timestamp(), qint64(1700000000));
        const ReleaseVerifier::Result r =
            ReleaseVerifier(QString::fromLatin1(TestKeys::ReleasePublic))
                .verify(VersionText, signature, newestAccepted, QStringLiteral("version3.txt"), now);
        if (outcome == QLatin1String("ok")) {
            QVERIFY2(r.ok, qPrintable(r.reason));
            QCOMPARE(r.expires,
                     fields.isEmpty() ? qint64(-1) : qint64(1700000000) + fields.mid(12).toInt() * 86400);
        } else if (outcome == QLatin1String("expired")) {
            QVERIFY(!r.ok && r.expired && r.authentic);
            QCOMPARE(r.timestamp, qint64(1700000000));
            QCOMPARE(r.expires, qint64(1700000000 + 7 * 86400));
        } else {
            QVERIFY(!r.ok && !r.expired);
            QVERIFY2(r.reason.contains(outcome), qPrintable(r.reason));
        }
    }

    // A coming release's list: its own time after "preload:" and its own order; a release's signature
    // never passes for it, nor it for a release.
    void comingList_data() {
        QTest::addColumn<QByteArray>("comment");
        QTest::addColumn<qint64>("newestAccepted");
        QTest::addColumn<QString>("refusal"); // empty: accepted

        const QByteArray file = "\tfile:version3.txt.coming";
        QTest::newRow("accepted") << "preload:1700000000" + file << qint64(-1) << QString();
        QTest::newRow("same list again") << "preload:1700000000" + file << qint64(1700000000) << QString();
        QTest::newRow("older list") << "preload:1700000000" + file << qint64(1700000001)
                                    << "rollback refused";
        QTest::newRow("a release's comment")
            << "timestamp:1700000000" + file << qint64(-1) << "a release's signature";
        QTest::newRow("release time first")
            << "timestamp:1700000000\tpreload:1700000000" + file << qint64(-1) << "a release's signature";
        QTest::newRow("no time") << QByteArray("file:version3.txt.coming") << qint64(-1)
                                 << "no coming release time";
        QTest::newRow("bad time") << "preload:17x" + file << qint64(-1) << "no coming release time";
        QTest::newRow("the version file's name")
            << QByteArray("preload:1700000000\tfile:version3.txt") << qint64(-1)
            << "signed as \"version3.txt\", not version3.txt.coming";
        QTest::newRow("no file named")
            << QByteArray("preload:1700000000") << qint64(-1) << "trusted comment names no file";
    }

    void comingList() {
        QFETCH(QByteArray, comment);
        QFETCH(qint64, newestAccepted);
        QFETCH(QString, refusal);
        const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
        const QByteArray signature = releaseKey().sign(VersionText, comment).toFile("signature from test");
        const QString list = ReleaseVerifier::comingListName(QStringLiteral("version3.txt"));
        QCOMPARE(list, QStringLiteral("version3.txt.coming"));
        const ReleaseVerifier::Result r = verifier.verifyComing(VersionText, signature, newestAccepted, list);
        if (refusal.isEmpty()) {
            QVERIFY2(r.ok, qPrintable(r.reason));
            QCOMPARE(r.timestamp, qint64(1700000000));
            QCOMPARE(r.expires, qint64(-1));
        } else {
            QVERIFY(!r.ok);
            QVERIFY2(r.reason.contains(refusal), qPrintable(r.reason));
        }
        // Served as the version file (either name), a coming list's signature is no release's.
        if (comment.startsWith(ReleaseVerifier::ComingTimePrefix)) {
            for (const QString &name : {QStringLiteral("version3.txt"), list, QString()}) {
                const ReleaseVerifier::Result asRelease = verifier.verify(VersionText, signature, -1, name);
                QVERIFY(!asRelease.ok);
                QVERIFY2(asRelease.reason.contains(QStringLiteral("no release time")),
                         qPrintable(asRelease.reason));
            }
        }
        // Changed after signing, or signed by a key not trusted here.
        QVERIFY(!verifier.verifyComing(VersionText + "x", signature, -1, list).ok);
        const QByteArray byOther = MinisignSecretKey::parse(TestKeys::OtherSecretFile)
                                       .sign(VersionText, comment)
                                       .toFile("signature from test");
        QVERIFY(!verifier.verifyComing(VersionText, byOther, -1, list).ok);
    }

    // A list of keys: a file signed by any of them verifies, unless that key was revoked; one unusable
    // key in the list refuses everything, as one unusable key does.
    void keyList() {
        const QString both = QString::fromLatin1(TestKeys::ReleasePublic) + QStringLiteral(" , ") +
                             QString::fromLatin1(TestKeys::OtherPublic);
        ReleaseVerifier verifier(both);
        QVERIFY(verifier.isUsable());
        QCOMPARE(verifier.publicKeys().size(), 2);
        const QByteArray byOther = signFile(VersionText, 1700000000, true, TestKeys::OtherSecretFile);
        QVERIFY(verifier.verify(VersionText, signFile(VersionText, 1700000000)).ok);
        QVERIFY(verifier.verify(VersionText, byOther).ok);
        verifier.setRevoked({MinisignPublicKey::parse(TestKeys::OtherPublic).keyId()});
        const ReleaseVerifier::Result revoked = verifier.verify(VersionText, byOther);
        QVERIFY(!revoked.ok && !revoked.authentic);
        QVERIFY2(revoked.reason.contains(QStringLiteral("revoked key AA8B1CAA9DA4BC18")),
                 qPrintable(revoked.reason));
        QVERIFY(verifier.verify(VersionText, signFile(VersionText, 1700000000)).ok);

        const ReleaseVerifier one(QString::fromLatin1(TestKeys::ReleasePublic));
        QVERIFY2(
            one.verify(VersionText, byOther).reason.contains(QStringLiteral("expected 5F4CDA07E8AC0921)")),
            qPrintable(one.verify(VersionText, byOther).reason));
        for (const QString &bad : {both + QStringLiteral(",RWQnotakey"), both + QStringLiteral(","),
                                   QString(both + QLatin1Char(',')).repeated(4) + both}) {
            const ReleaseVerifier refused(bad);
            QVERIFY(refused.isEnabled() && !refused.isUsable());
            QVERIFY(!refused.verify(VersionText, signFile(VersionText, 1700000000)).ok);
        }
    }

    // A revocation counts only when the key it names signed it: a leaked key cannot revoke a good one,
    // and a changed statement or comment is refused. The file of revocations is bounded.
    void revocations() {
        const MinisignSecretKey release = releaseKey();
        const MinisignSecretKey other = MinisignSecretKey::parse(TestKeys::OtherSecretFile);
        const QList<MinisignPublicKey> trusted{release.publicKey(), other.publicKey()};
        QString why;
        const QByteArray own = KeyRevocation::make(other, 1700000000);
        QCOMPARE(KeyRevocation::revokedKey(own, trusted, &why), other.publicKey().keyId());
        QCOMPARE(KeyRevocation::keyIdFromText(QStringLiteral("AA8B1CAA9DA4BC18")), other.publicKey().keyId());

        // The release key signs "revoke <other's id>" with the comment naming the other key.
        const QByteArray otherId = MinisignPublicKey::keyIdText(other.publicKey().keyId()).toLatin1();
        const QByteArray forged = release
                                      .sign(KeyRevocation::statement(other.publicKey().keyId()),
                                            "timestamp:1700000000\trevoke:" + otherId)
                                      .toFile("forged");
        QVERIFY(KeyRevocation::revokedKey(forged, trusted, &why).isEmpty());
        QVERIFY2(why.contains(QStringLiteral("not signed by that key")), qPrintable(why));
        // Another statement signed by the right key, and a revocation of a key not trusted here.
        const QByteArray otherStatement =
            other.sign("revoke 5F4CDA07E8AC0921\n", "timestamp:1700000000\trevoke:" + otherId).toFile("x");
        QVERIFY(KeyRevocation::revokedKey(otherStatement, trusted, &why).isEmpty());
        QVERIFY2(why.contains(QStringLiteral("does not verify")), qPrintable(why));
        QVERIFY(KeyRevocation::revokedKey(own, {release.publicKey()}, &why).isEmpty());
        QVERIFY2(why.contains(QStringLiteral("not trusted here")), qPrintable(why));

        QCOMPARE(KeyRevocation::entries(own + KeyRevocation::make(release, 1700000001), &why).size(), 2);
        why.clear();
        QVERIFY(KeyRevocation::entries(own.repeated(KeyRevocation::MaxEntries + 1), &why).isEmpty());
        QVERIFY(!why.isEmpty());
        why.clear();
        QVERIFY(KeyRevocation::entries(own + "<html>\n", &why).isEmpty());
        QVERIFY(!why.isEmpty());
        why.clear();
        QVERIFY(KeyRevocation::entries(QByteArray(KeyRevocation::MaxFileSize + 1, '\n'), &why).isEmpty());
        QVERIFY(!why.isEmpty());
    }

    void unusableBuiltInKeyRefusesEverything() {
        const ReleaseVerifier verifier(QStringLiteral("RWQnotakey"));
        QVERIFY(verifier.isEnabled());
        const ReleaseVerifier::Result r = verifier.verify(VersionText, signFile(VersionText, 1700000000));
        QVERIFY(!r.ok);
        QVERIFY2(r.reason.startsWith(QStringLiteral("built-in public key is unusable")),
                 qPrintable(r.reason));
        QVERIFY(!ReleaseVerifier(QString()).isEnabled());
    }

    // The `minisign` command verifies our signatures, and we verify its own, in both of its forms and
    // with a password-protected key.
    void minisignCommand() {
        const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
        if (minisign.isEmpty())
            QSKIP("the minisign command is not installed");
        QTemporaryDir dir;
        const QString data = dir.filePath(QStringLiteral("version3.txt"));
        const QString pub = dir.filePath(QStringLiteral("release.pub"));
        const QString key = dir.filePath(QStringLiteral("release.key"));
        QVERIFY(writeFile(data, VersionText));
        QVERIFY(writeFile(pub, QByteArray("untrusted comment: test\n") + TestKeys::ReleasePublic + "\n"));
        QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
        auto run = [&](const QStringList &args, const QByteArray &input = QByteArray(), bool quiet = false) {
            QProcess p;
            p.start(minisign, args);
            p.write(input);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
                if (!quiet)
                    qWarning() << "minisign" << args << p.readAllStandardError();
                return false;
            }
            return true;
        };
        const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
        for (const bool legacy : {false, true}) {
            QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), key, QStringLiteral("-m"), data};
            if (legacy)
                args << QStringLiteral("-l");
            QVERIFY(run(args));
            const QByteArray theirs = readFile(data + QStringLiteral(".minisig"));
            const ReleaseVerifier::Result r = verifier.verify(VersionText, theirs);
            QVERIFY2(r.ok, qPrintable(r.reason));
            QVERIFY(qAbs(r.timestamp - QDateTime::currentSecsSinceEpoch()) < 600);
            QVERIFY(!verifier.verify(VersionText + "\n", theirs).ok);
        }
        for (const bool legacy : {false, true}) {
            QVERIFY(writeFile(data + QStringLiteral(".minisig"), signFile(VersionText, 1700000000, !legacy)));
            QStringList args{QStringLiteral("-V"), QStringLiteral("-p"), pub, QStringLiteral("-m"), data};
            if (!legacy)
                args << QStringLiteral("-H"); // prehashed required
            QVERIFY(run(args));
            QVERIFY(writeFile(data, VersionText + "x"));
            QVERIFY(!run(args, QByteArray(), true));
            QVERIFY(writeFile(data, VersionText));
        }

        // A password-protected key made by minisign signs for both of us.
        const QString epub = dir.filePath(QStringLiteral("e.pub"));
        const QString ekey = dir.filePath(QStringLiteral("e.key"));
        QVERIFY(run({QStringLiteral("-G"), QStringLiteral("-p"), epub, QStringLiteral("-s"), ekey},
                    "pass phrase\npass phrase\n"));
        QVERIFY(!MinisignSecretKey::parse(readFile(ekey)).isValid());
        const MinisignSecretKey wrong = MinisignSecretKey::parse(readFile(ekey), "wrong");
        QVERIFY(wrong.error().contains(QStringLiteral("wrong password")));
        const MinisignSecretKey secret = MinisignSecretKey::parse(readFile(ekey), "pass phrase");
        QVERIFY2(secret.isValid(), qPrintable(secret.error()));
        QCOMPARE(secret.publicKey().toBase64(), MinisignPublicKey::parse(readFile(epub)).toBase64());
        QVERIFY(writeFile(data + QStringLiteral(".minisig"),
                          secret.sign(VersionText, "timestamp:1700000000").toFile("x")));
        QVERIFY(run({QStringLiteral("-V"), QStringLiteral("-p"), epub, QStringLiteral("-m"), data}));
    }
};

QTEST_GUILESS_MAIN(ReleaseVerifierTest)
#include "tst_releaseverifier.moc"
