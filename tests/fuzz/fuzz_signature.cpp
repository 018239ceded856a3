// The release signature as the CDN may serve it, with the version file it claims to cover: any
// bytes. The first two input bytes give the length of the signature file (little-endian), the rest
// after it is the version file. A signature file that parses writes back to the same parts; a
// version file is accepted only with a genuine signature of the built-in key, and then neither one
// changed bit of the file nor an altered trusted comment nor an older release time passes.

#include "fuzz/fuzzcheck.h"
#include "support/testkeys.h"
#include "trust/minisignpublickey.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"

#include <algorithm>
#include <cstdint>

namespace {

void checkSignatureFile(const QByteArray &file) {
    const MinisignSignature sig = MinisignSignature::parse(file);
    FUZZ_CHECK(sig.isValid() == sig.error().isEmpty());
    if (!sig.isValid()) {
        return;
    }
    FUZZ_CHECK(file.size() <= MinisignSignature::MaxFileSize);
    FUZZ_CHECK(sig.keyId().size() == MinisignSignature::KeyIdSize);
    FUZZ_CHECK(sig.signature().size() == MinisignSignature::SignatureSize);
    FUZZ_CHECK(sig.globalSignature().size() == MinisignSignature::SignatureSize);
    FUZZ_CHECK(!sig.trustedComment().contains('\n'));
    const qint64 time = sig.timestamp();
    FUZZ_CHECK(time >= -1);
    FUZZ_CHECK(time < 0 || sig.trustedComment().startsWith("timestamp:"));

    const MinisignSignature again = MinisignSignature::parse(sig.toFile("untrusted\ncomment"));
    FUZZ_CHECK(again.isValid());
    FUZZ_CHECK(again.algorithm() == sig.algorithm() && again.keyId() == sig.keyId() &&
               again.signature() == sig.signature() && again.globalSignature() == sig.globalSignature() &&
               again.trustedComment() == sig.trustedComment());
}

void checkPublicKey(const QByteArray &text) {
    const MinisignPublicKey key = MinisignPublicKey::parse(text);
    FUZZ_CHECK(key.isValid() == key.error().isEmpty());
    if (!key.isValid())
        return;
    FUZZ_CHECK(key.keyId().size() == MinisignPublicKey::KeyIdSize &&
               key.key().size() == MinisignPublicKey::KeySize);
    const MinisignPublicKey again = MinisignPublicKey::parse(key.toBase64());
    FUZZ_CHECK(again.isValid() && again.keyId() == key.keyId() && again.key() == key.key());
}

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const int length = std::min<int>(int(data[0] | data[1] << 8), int(size) - 2);
    const QByteArray signatureFile(reinterpret_cast<const char *>(data) + 2, length);
    const QByteArray versionFile(reinterpret_cast<const char *>(data) + 2 + length, int(size) - 2 - length);

    checkSignatureFile(signatureFile);
    checkPublicKey(signatureFile);

    static const ReleaseVerifier release(QString::fromLatin1(TestKeys::ReleasePublic));
    static const ReleaseVerifier other(QString::fromLatin1(TestKeys::OtherPublic));
    const ReleaseVerifier::Result r = release.verify(versionFile, signatureFile);
    FUZZ_CHECK(r.ok == r.reason.isEmpty());
    // Two keys never accept the same signature.
    FUZZ_CHECK(!(r.ok && other.verify(versionFile, signatureFile).ok));
    if (!r.ok)
        return 0;

    const MinisignSignature sig = MinisignSignature::parse(signatureFile);
    FUZZ_CHECK(sig.isValid() && sig.keyId() == release.publicKey().keyId());
    FUZZ_CHECK(r.timestamp >= 0 && r.timestamp == sig.timestamp());
    FUZZ_CHECK(release.verify(versionFile, signatureFile, r.timestamp).ok);
    FUZZ_CHECK(!release.verify(versionFile, signatureFile, r.timestamp + 1).ok);
    // One changed bit anywhere in the file, one more byte, one byte less.
    for (int i = 0; i < versionFile.size(); i += 1 + versionFile.size() / 16) {
        QByteArray changed = versionFile;
        changed[i] = char(changed.at(i) ^ (1 << (i % 8)));
        FUZZ_CHECK(!release.verify(changed, signatureFile).ok);
    }
    FUZZ_CHECK(!release.verify(versionFile + '\n', signatureFile).ok);
    if (!versionFile.isEmpty())
        FUZZ_CHECK(!release.verify(versionFile.chopped(1), signatureFile).ok);
    // The trusted comment (the release time) cannot be changed without its signature.
    const MinisignSignature later = MinisignSignature::fromParts(
        sig.algorithm(), sig.keyId(), sig.signature(), "timestamp:" + QByteArray::number(r.timestamp + 1),
        sig.globalSignature());
    FUZZ_CHECK(!release.verify(versionFile, later.toFile("c")).ok);
    return 0;
}
