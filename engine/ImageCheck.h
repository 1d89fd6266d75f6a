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
    // The bytes judged here, copied to a private file that the operation reads, so that what is
    // written is what was checked even when the named file changes meanwhile (stageImages).
    QByteArray data;
    QString stagedPath;
};

// Reads step.file and refuses what the step's operation would refuse or could not write whole:
// a missing, unreadable or empty file, a folder, a file longer than the operation can take (read
// no further than that, so a device or a pipe that never ends is refused at once), a digest
// other than step.sha256 (when pinned),
// boot code with a bad running address or over 64K, MCU code over 444K or running past the code
// flash from step.addr, a difference file that fails its CRCs or whose blocks do not fit, a
// check-ui of a difference file, a firmware file too short for its header. Pure apart from
// reading the one file.
CheckedImage checkImage(const Step& step);

// Writes every image's bytes to a file of its own in folder (keeping the file name, whose
// ending decides how a UI file is written) and sets stagedPath. The bytes are kept only for the
// images that take a serial (keepBytes), whose boards each get a copy of their own. False with a
// reason on failure.
bool stageImages(QVector<CheckedImage>& images, const QString& folder, QString& error,
                 const QVector<bool>& keepBytes = {});

// A board's copy of an image with its number written in: staged in folder, with the CRC and
// SHA-256 of the bytes written (the file's own SHA-256 stays in sourceSha256).
bool stagePatchedImage(CheckedImage& image, const SerialField& field, uint64_t value, const QString& folder,
                       QString& error);


}  // namespace qv::engine
