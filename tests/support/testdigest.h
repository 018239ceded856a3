#pragma once

// BLAKE2b-256, as entry indexes and extraction records list an entry's content. Apart from
// testfiles.h: only tests that link libsodium include it.

#include <QByteArray>

#include <sodium.h>

namespace TestDigest {

inline QByteArray blake2b(const QByteArray &data) {
    QByteArray out(crypto_generichash_BYTES, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(out.data()), size_t(out.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()), quint64(data.size()),
                       nullptr, 0);
    return out;
}

} // namespace TestDigest
