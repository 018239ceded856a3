#pragma once

#include "core/result.h"

#include <QByteArray>

// A datagram of the search for launchers on the local network (docs/formats.md, "Local network
// search"). Version 1, integers big-endian:
//   search: "KVLN" 01 01 nonce[8] length[1] release[length]   (length 16..64)
//   answer: "KVLN" 01 02 nonce[8] port[2]                        (port not 0)
// A search is at least 31 bytes, an answer always 16: an answer is never larger than its search.
struct LanMessage {
    enum class Kind { Search = 1, Answer = 2 };
    enum class Error { None, Oversized, Malformed };

    static constexpr int maxSize = 512; // larger datagrams are dropped unread
    static constexpr int nonceSize = 8;
    static constexpr int minReleaseSize = 16;
    static constexpr int maxReleaseSize = 64;

    Kind kind = Kind::Search;
    QByteArray nonce;   // nonceSize random bytes of the search, repeated by its answers
    QByteArray release; // search: digest of the signed version file
    quint16 port = 0;   // answer: the answering launcher's HTTP port

    // Empty for a message that breaks the rules above.
    QByteArray encode() const;
    static Result<Error> decode(const QByteArray &bytes, LanMessage *out);
};
