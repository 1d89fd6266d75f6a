#pragma once

#include "BoundedRead.h"
#include "Steps.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

namespace qv::engine {

// An image file read and judged before anything is sent to a programmer.
struct CheckedImage {
    bool ok = false;
    QString error;  // one line naming the file; set when !ok
    QString path;   // absolute path of the file named
    qint64 size = 0;
    uint32_t crc = 0;  // CRC-32/0 of the whole file (of the board's copy once a serial is in it)
    QString sha256;    // lower-case hex (likewise)
    QString sourceSha256;  // of the file as given, whatever is written into the board's copy
    // The bytes judged here: the operation is handed these, so what is written is what was
    // checked even when the named file changes meanwhile. A board's copy holds its serial number.
    QByteArray data;
};

// Reads step.file and refuses what the step's operation would refuse or could not write whole:
// a missing, unreadable or empty file, a folder, a file longer than the operation can take (read
// no further than that, so a device or a pipe that never ends is refused at once), a digest
// other than step.sha256 (when pinned), and whatever the operation's own check of its image kind
// refuses (checkCodeImage, checkUiFile, a firmware file too short for its header), in the
// operation's own words. Pure apart from reading the one file.
CheckedImage checkImage(const Step& step);

// A board's copy of an image with its number written in, with the CRC and SHA-256 of the bytes
// written (the file's own SHA-256 stays in sourceSha256).
void patchImage(CheckedImage& image, const SerialField& field, uint64_t value);

}  // namespace qv::engine
