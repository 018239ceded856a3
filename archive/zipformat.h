#pragma once

#include <QtGlobal>

// Record signatures and field ids of the zip format, as the index maker reads them and the
// patcher writes them.
namespace ZipFormat {

constexpr quint32 LocalSignature = 0x04034b50;
constexpr quint32 CentralSignature = 0x02014b50;
constexpr quint16 Zip64ExtraId = 0x0001;

} // namespace ZipFormat
