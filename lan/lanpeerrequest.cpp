#include "lan/lanpeerrequest.h"

namespace {

// Digits only, at most 18 of them so that the value fits in a qint64; -1 otherwise.
qint64 parseNumber(const QByteArray &digits) {
    if (digits.isEmpty() || digits.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool plainName(const QByteArray &name) {
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '?' || c == '#' || c == '\\')
            return false;
    }
    for (const QByteArray &segment : name.split('/')) {
        if (segment.isEmpty() || segment == "." || segment == "..")
            return false;
    }
    return true;
}

} // namespace

LanPeerRequest::LanPeerRequest(const QByteArray &method, const QByteArray &target,
                               const QByteArrayList &rangeHeaders)
    : m_method(method)
    , m_ranges(rangeHeaders) {
    if (target.startsWith('/') && plainName(target.mid(1)))
        m_name = target.mid(1);
}

LanPeerRequest::Range LanPeerRequest::parseRange(qint64 *first, qint64 *last, bool *suffix) const {
    if (m_ranges.isEmpty())
        return Range::None;
    if (m_ranges.size() > 1)
        return Range::Several;
    const QByteArray value = m_ranges.first().trimmed();
    if (value.size() > MaxRangeLength || !value.startsWith("bytes="))
        return Range::Bad;
    const QByteArray bounds = value.mid(6).trimmed();
    if (bounds.contains(','))
        return Range::Several;
    const int dash = bounds.indexOf('-');
    if (dash < 0)
        return Range::Bad;
    const QByteArray from = bounds.left(dash).trimmed();
    const QByteArray to = bounds.mid(dash + 1).trimmed();
    *suffix = from.isEmpty();
    if (*suffix) {
        *last = parseNumber(to);
        return *last < 0 ? Range::Bad : Range::One;
    }
    *first = parseNumber(from);
    *last = to.isEmpty() ? -1 : parseNumber(to);
    if (*first < 0 || (!to.isEmpty() && (*last < 0 || *last < *first)))
        return Range::Bad;
    return Range::One;
}

LanPeerRequest::Answer LanPeerRequest::answer(qint64 size) const {
    Answer a;
    if (m_method != "GET" && m_method != "HEAD") {
        a.status = 405;
        return a;
    }
    if (m_name.isEmpty() || size < 0)
        return a; // 404
    a.size = size;
    qint64 first = 0;
    qint64 last = -1;
    bool suffix = false;
    switch (parseRange(&first, &last, &suffix)) {
    case Range::Bad:
        a.status = 400;
        return a;
    case Range::Several:
        // One range per request: several would need a multipart answer.
        a.status = 416;
        return a;
    case Range::None:
        a.status = 200;
        a.length = size;
        break;
    case Range::One:
        if (suffix) {
            if (last == 0 || size == 0) {
                a.status = 416;
                return a;
            }
            a.offset = size - qMin(last, size);
        } else {
            if (first >= size) {
                a.status = 416;
                return a;
            }
            a.offset = first;
        }
        const qint64 end = (suffix || last < 0 || last >= size) ? size - 1 : last;
        a.status = 206;
        a.length = end - a.offset + 1;
        break;
    }
    a.body = m_method == "GET" && a.length > 0;
    return a;
}
