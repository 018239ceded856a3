#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>

// The block every launcher of one key shares through shared memory. Native layout, 152 bytes;
// the CRC covers bytes 0..143 exactly as they lie, padding and stale name bytes included.
struct InstanceBlock {
    quint8 hasPrimary;
    quint8 padding1[3];
    quint32 secondaryCount;
    qint64 primaryProcessId;
    char primaryUserName[128];
    quint16 crc;
    quint8 padding2[6];
};

static_assert(sizeof(InstanceBlock) == 152, "InstanceBlock must stay 152 bytes");
static_assert(offsetof(InstanceBlock, secondaryCount) == 4, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryProcessId) == 8, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryUserName) == 16, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, crc) == 144, "InstanceBlock layout");

namespace InstanceBlockOps {

constexpr int ChecksummedBytes = 144;
constexpr int MaxUserNameBytes = 127;

// CRC-16 of ISO 3309 over the first 144 bytes.
quint16 checksum(const InstanceBlock &block);
bool isConsistent(const InstanceBlock &block);
void updateChecksum(InstanceBlock *block);

// No primary, no secondaries, no process, empty name; the other name bytes and the padding keep
// what they held. Recomputes the CRC.
void reset(InstanceBlock *block);

// Claims the block for a primary: its process id and its user name (UTF-8, at most 127 bytes,
// cut at a character boundary, always NUL-terminated). Recomputes the CRC.
void claimPrimary(InstanceBlock *block, qint64 processId, const QString &userName);

// Marks the block as having no primary; secondaryCount stays. Recomputes the CRC.
void releasePrimary(InstanceBlock *block);

// Counts one more secondary and recomputes the CRC; returns the new count.
quint32 addSecondary(InstanceBlock *block);

// The stored user name, read up to its NUL or the end of the field.
QString userName(const InstanceBlock &block);

} // namespace InstanceBlockOps
