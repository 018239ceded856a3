#pragma once

#include "download/errorcode.h"
#include "download/fileassembler.h"
#include "download/resumerecord.h"

#include <QString>
#include <QVector>

// The disk side of a FileAssembler: the partial file, its record and the move into place. Each
// function is called by the lane that owns the state it touches (see fileassemblerstate.h).
namespace FileAssemblerDisk {

using State = FileAssembler::State;

// Opens the partial file for writing (once; write lane).
bool openOutput(State *s);
// Writes `length` bytes at `offset` (write lane); false with s->writeFailure set.
bool writeRange(State *s, qint64 offset, qint64 length, const char *data);
// Flushes the partial file to the disk, then replaces the record with one that adds `ranges`
// (record lane): a record never claims bytes that a power cut could still take away.
void recordRanges(State *s, const QVector<ResumeRecord::Range> &ranges);
// Why writing stopped, saying how much room is missing when the disk is full (record lane).
QString writeFailureReason(State *s);
// Puts the verified partial file in place of the target (final job, every lane idle).
DownloadResult placeFile(State *s);

// Since the start of the process: records written and the time spent syncing and writing them.
qint64 recordCount();
qint64 recordNanoseconds();

} // namespace FileAssemblerDisk
