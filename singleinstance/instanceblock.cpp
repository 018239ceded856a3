#include "singleinstance/instanceblock.h"

#include <QByteArray>

#include <cstring>

namespace InstanceBlockOps {

quint16 checksum(const InstanceBlock &block) {
    return qChecksum(reinterpret_cast<const char *>(&block), ChecksummedBytes, Qt::ChecksumIso3309);
}

bool isConsistent(const InstanceBlock &block) {
    return checksum(block) == block.crc;
}

void updateChecksum(InstanceBlock *block) {
    block->crc = checksum(*block);
}

void reset(InstanceBlock *block) {
    block->hasPrimary = 0;
    block->secondaryCount = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    updateChecksum(block);
}

void claimPrimary(InstanceBlock *block, qint64 processId, const QString &userName) {
    QByteArray name = userName.toUtf8();
    if (name.size() > MaxUserNameBytes) {
        int cut = MaxUserNameBytes;
        // Never leave half of a multi-byte character behind: back up over continuation bytes.
        while (cut > 0 && (static_cast<uchar>(name.at(cut)) & 0xC0) == 0x80)
            --cut;
        name.truncate(cut);
    }
    block->hasPrimary = 1;
    block->primaryProcessId = processId;
    std::memcpy(block->primaryUserName, name.constData(), static_cast<size_t>(name.size()));
    block->primaryUserName[name.size()] = '\0';
    updateChecksum(block);
}

void releasePrimary(InstanceBlock *block) {
    block->hasPrimary = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    updateChecksum(block);
}

quint32 addSecondary(InstanceBlock *block) {
    block->secondaryCount += 1;
    updateChecksum(block);
    return block->secondaryCount;
}

QString userName(const InstanceBlock &block) {
    return QString::fromUtf8(
        block.primaryUserName,
        static_cast<int>(qstrnlen(block.primaryUserName, sizeof(block.primaryUserName))));
}

} // namespace InstanceBlockOps
