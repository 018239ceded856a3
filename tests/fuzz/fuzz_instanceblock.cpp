// The shared instance block as another process may have left it: any 152 bytes, followed by a
// user name. Reading it never goes past the name field; a block is consistent after every change
// this launcher makes, and a claimed name reads back as the longest whole-character prefix of at
// most 127 bytes.

#include "fuzz/fuzzcheck.h"
#include "singleinstance/instanceblock.h"

#include <cstdint>
#include <cstring>
#include <memory>

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(InstanceBlock))
        return 0;
    // On the heap and exactly as large as the block: a read past it is caught.
    auto block = std::make_unique<InstanceBlock>();
    std::memcpy(block.get(), data, sizeof(InstanceBlock));

    const QString stored = InstanceBlockOps::userName(*block);
    FUZZ_CHECK(stored.toUtf8().size() <= 3 * int(sizeof block->primaryUserName));
    const bool consistent = InstanceBlockOps::isConsistent(*block);
    FUZZ_CHECK(consistent == (InstanceBlockOps::checksum(*block) == block->crc));

    const QString name = QString::fromUtf8(reinterpret_cast<const char *>(data) + sizeof(InstanceBlock),
                                           int(size - sizeof(InstanceBlock)));
    const quint32 secondaries = block->secondaryCount;
    InstanceBlockOps::claimPrimary(block.get(), 4242, name);
    FUZZ_CHECK(InstanceBlockOps::isConsistent(*block) && block->hasPrimary == 1);
    FUZZ_CHECK(block->primaryProcessId == 4242 && block->secondaryCount == secondaries);
    const QByteArray claimed = InstanceBlockOps::userName(*block).toUtf8();
    const QByteArray full = name.toUtf8();
    FUZZ_CHECK(claimed.size() <= InstanceBlockOps::MaxUserNameBytes && full.startsWith(claimed));
    // Cut only where a character starts, and only as far as needed. A NUL in the name ends it early.
    if (!full.left(InstanceBlockOps::MaxUserNameBytes).contains('\0')) {
        FUZZ_CHECK(claimed.size() == full.size() ||
                   (full.size() > InstanceBlockOps::MaxUserNameBytes &&
                    (quint8(full.at(claimed.size())) & 0xC0) != 0x80 &&
                    claimed.size() > InstanceBlockOps::MaxUserNameBytes - 4));
    }

    FUZZ_CHECK(InstanceBlockOps::addSecondary(block.get()) == secondaries + 1);
    FUZZ_CHECK(InstanceBlockOps::isConsistent(*block));
    InstanceBlockOps::releasePrimary(block.get());
    FUZZ_CHECK(InstanceBlockOps::isConsistent(*block) && block->hasPrimary == 0);
    FUZZ_CHECK(InstanceBlockOps::userName(*block).isEmpty());
    InstanceBlockOps::reset(block.get());
    FUZZ_CHECK(InstanceBlockOps::isConsistent(*block) && block->secondaryCount == 0);
    return 0;
}
