#pragma once

#include <QByteArray>
#include <QByteArrayList>

// What a launcher nearby is answered for one request, decided from the request alone (method,
// target exactly as sent, its Range headers) and the size of the file its name is offered under.
// Nothing is decoded or normalised: a target either is "/" followed by an offered name, byte for
// byte, or it names nothing. One range per request at most.
class LanPeerRequest {
public:
    static constexpr qint64 NotOffered = -1;
    // Longer Range values are refused rather than parsed.
    static constexpr int MaxRangeLength = 64;

    LanPeerRequest(const QByteArray &method, const QByteArray &target, const QByteArrayList &rangeHeaders);

    // The name the target asks for (the target without its leading "/"), or empty when the target
    // cannot name an offered file: no leading "/", a query or fragment, an empty, "." or ".." segment,
    // a backslash or a control byte.
    QByteArray name() const { return m_name; }

    struct Answer {
        int status = 404;
        bool body = false; // bytes of the file follow the headers (GET)
        qint64 offset = 0; // first byte sent
        qint64 length = 0; // bytes sent from offset (Content-Length of 200/206)
        qint64 size = 0;   // the whole file, for Content-Range (206 and 416)
    };
    // The answer when name() is offered with `size` bytes (NotOffered: it is not).
    Answer answer(qint64 size) const;

private:
    enum class Range { None, One, Bad, Several };
    Range parseRange(qint64 *first, qint64 *last, bool *suffix) const;

    QByteArray m_method;
    QByteArray m_name;
    QByteArrayList m_ranges;
};
