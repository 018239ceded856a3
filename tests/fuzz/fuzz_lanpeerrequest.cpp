// What a launcher nearby asks the local server for: any method, target and Range headers, against
// any size of the file the name is offered under. The first byte picks that size (not offered,
// empty, small from the second byte, or past 32 bits); the rest are lines: the method, the target,
// then one Range header per line. Only a plain name is ever served, only GET carries a body, and
// the bytes served always lie inside the file.

#include "fuzz/fuzzcheck.h"
#include "lan/lanpeerrequest.h"

#include <cstdint>

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    qint64 fileSize = LanPeerRequest::NotOffered;
    switch (data[0] % 4) {
    case 1:
        fileSize = 0;
        break;
    case 2:
        fileSize = qint64(data[1]) * 37;
        break;
    case 3:
        fileSize = (qint64(1) << 40) + data[1];
        break;
    default:
        break;
    }
    const QByteArrayList lines =
        QByteArray(reinterpret_cast<const char *>(data + 2), int(size - 2)).split('\n');
    const QByteArray method = lines.value(0);
    const QByteArray target = lines.value(1);
    const LanPeerRequest request(method, target, lines.mid(2));
    const LanPeerRequest::Answer a = request.answer(fileSize);

    const QByteArray name = request.name();
    if (!name.isEmpty()) {
        FUZZ_CHECK(target == '/' + name);
        FUZZ_CHECK(!name.contains('?') && !name.contains('#') && !name.contains('\\') &&
                   !name.contains("//"));
        for (const QByteArray &segment : name.split('/'))
            FUZZ_CHECK(!segment.isEmpty() && segment != "." && segment != "..");
    }
    const bool read = method == "GET" || method == "HEAD";
    FUZZ_CHECK(read || a.status == 405);
    FUZZ_CHECK(a.status == 200 || a.status == 206 || a.status == 400 || a.status == 404 || a.status == 405 ||
               a.status == 416);
    if (a.status == 200 || a.status == 206) {
        FUZZ_CHECK(read && !name.isEmpty() && fileSize >= 0 && a.size == fileSize);
        FUZZ_CHECK(a.offset >= 0 && a.length >= 0 && a.offset + a.length <= fileSize);
        FUZZ_CHECK(a.status == 206 ? a.length > 0 : (a.offset == 0 && a.length == fileSize));
        FUZZ_CHECK(a.status == 206 || lines.size() <= 2);
    } else {
        FUZZ_CHECK(!a.body);
    }
    FUZZ_CHECK(a.body == (method == "GET" && (a.status == 200 || a.status == 206) && a.length > 0));
    if (read && !name.isEmpty() && fileSize >= 0 && lines.size() <= 2)
        FUZZ_CHECK(a.status == 200);
    if (name.isEmpty() || fileSize < 0)
        FUZZ_CHECK(!read || a.status == 404);
    return 0;
}
