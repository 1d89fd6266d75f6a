#pragma once

#include "Operation.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace qv {

class ProgrammerLink;

// The programmer's own firmware: its application (*.app) or boot loader (*.boot). A file carries
// a header at 0x1000 (24-bit version, then the 32-bit MCU type, both big-endian) that is checked
// against what the connection handshake reported before anything is sent.
namespace firmware {

constexpr int32_t kVersionOffset = 0x1000;
constexpr int32_t kMcuOffset = 0x1004;
constexpr int32_t kHeaderEnd = 0x1008;  // a shorter file has no complete header
constexpr uint32_t kChunkSize = 4096;

enum class Kind { Application, BootLoader };

// What the file's header says against the programmer: logs the file's CRC and length and, when
// they apply, the same-version and MCU-mismatch lines. writable is false for a file too short for
// its header or for another MCU; sameVersion when it holds the version installed already.
struct Check {
    bool writable = false;
    bool sameVersion = false;
    uint32_t crc = 0;
    int32_t length = 0;
};
Check checkImage(ProgrammerLink& link, Kind kind, const QByteArray& image);

// Result codes of write: 0 written, checked and the update closed; -1 no image to write (fewer than
// 8 bytes; told to the reporter as refused); -3 a full chunk failed; -4 the last partial chunk failed or the device
// went away between chunks; -5 the device went away after the chunks; -6 the programmer's CRC
// check failed.
// Writes the first length bytes of the image in 4096-byte chunks, has the programmer check the
// first checkLength bytes against crc and closes the update (the programmer then restarts into
// its application).
WriteResult write(ProgrammerLink& link, const QByteArray& image, int32_t length, uint32_t crc, int32_t checkLength);
// Writes the whole image as write does, followed by the verdict line.
WriteResult update(ProgrammerLink& link, const QByteArray& image, uint32_t crc);

// The text a front end gives for a file check() would not write (the log says which).
QString refusalText(const QByteArray& image);

}  // namespace firmware
}  // namespace qv
