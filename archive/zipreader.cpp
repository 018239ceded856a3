#include "archive/zipreader.h"

#include <QByteArray>
#include <QFile>

#include <limits>

namespace {

voidpf ZCALLBACK qtOpen(voidpf, const void *path, int mode) {
    if (!path || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    auto *file = new QFile(*static_cast<const QString *>(path));
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return nullptr;
    }
    return file;
}

uLong ZCALLBACK qtRead(voidpf, voidpf stream, void *buffer, uLong size) {
    const qint64 count = static_cast<QFile *>(stream)->read(static_cast<char *>(buffer), qint64(size));
    return count < 0 ? 0 : uLong(count);
}

uLong ZCALLBACK qtWrite(voidpf, voidpf, const void *, uLong) {
    return 0; // read only
}

ZPOS64_T ZCALLBACK qtTell(voidpf, voidpf stream) {
    return ZPOS64_T(static_cast<QFile *>(stream)->pos());
}

long ZCALLBACK qtSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto *file = static_cast<QFile *>(stream);
    qint64 base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = file->pos();
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = file->size();
        break;
    default:
        return -1;
    }
    // Offsets come from the archive itself: a position past 2^63 or before the start is refused.
    if (offset > ZPOS64_T(std::numeric_limits<qint64>::max() - base))
        return -1;
    // The library seeks before every read of compressed data, mostly to where it already is:
    // skipping that keeps QFile's read buffer and saves a system call per read.
    if (base + qint64(offset) == file->pos())
        return 0;
    return file->seek(base + qint64(offset)) ? 0 : -1;
}

int ZCALLBACK qtClose(voidpf, voidpf stream) {
    delete static_cast<QFile *>(stream);
    return 0;
}

int ZCALLBACK qtError(voidpf, voidpf stream) {
    return static_cast<QFile *>(stream)->error() == QFileDevice::NoError ? 0 : 1;
}

} // namespace

unzFile ZipReader::open(const QString &path) {
    zlib_filefunc64_def io;
    io.zopen64_file = qtOpen;
    io.zread_file = qtRead;
    io.zwrite_file = qtWrite;
    io.ztell64_file = qtTell;
    io.zseek64_file = qtSeek;
    io.zclose_file = qtClose;
    io.zerror_file = qtError;
    io.opaque = nullptr;
    return unzOpen2_64(&path, &io);
}

bool ZipReader::currentEntry(unzFile zip, unz_file_info64 *info, QString *name) {
    if (unzGetCurrentFileInfo64(zip, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    QByteArray bytes(int(info->size_filename), '\0');
    unz_file_info64 again; // the library writes the information even when only the name is wanted
    if (!bytes.isEmpty() && unzGetCurrentFileInfo64(zip, &again, bytes.data(), uLong(bytes.size()), nullptr,
                                                    0, nullptr, 0) != UNZ_OK)
        return false;
    *name = QString::fromUtf8(bytes);
    return true;
}
