#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// Writes the SMBIOS system UUID as text: 8-4-4-4-12 upper-case hex digits, the first three fields
// byte-swapped from SMBIOS 2.6 (version 0x0206) on, and in stored order with a leading "-" before.
// False when the UUID is not set (all 0x00 or all 0xFF) or the buffer cannot hold the text and its
// NUL (38 bytes; callers pass 64).
bool formatSystemUuid(const unsigned char *uuid16, quint16 version, char *out, size_t outSize);

// The first usable system UUID (type 1 structure) of a raw SMBIOS table in the Windows layout:
// used20CallingMethod, major, minor, DMI revision, 32-bit little-endian length, structure data.
// Every length is checked against the end of the buffer; a damaged table ends the walk. Empty
// when there is no usable UUID.
QString deviceIdFromSmbiosTable(const QByteArray &raw);

// deviceIdFromSmbiosTable() over the platform's table.
QString readDeviceId();
