#pragma once

#include <QByteArray>

#include <cstdint>

namespace qv {

class ProgrammerLink;

// Replaces the programmer's own application firmware (*.app) or boot loader (*.boot): reads the
// chosen file, checks its header against what the connection handshake reported, writes it in
// 4096-byte chunks, has the programmer check its CRC and closes the update.
class FirmwareUpdate {
  public:
    // Offsets of the header inside a firmware file.
    static constexpr int32_t kVersionOffset = 0x1000;  // 24-bit version, big-endian
    static constexpr int32_t kMcuOffset = 0x1004;      // 32-bit MCU type, big-endian
    static constexpr int32_t kHeaderEnd = 0x1008;      // a shorter file has no complete header
    static constexpr uint32_t kChunkSize = 4096;

    explicit FirmwareUpdate(ProgrammerLink& link);

    // The "Update programmer APP" button: an application image, in mode UpdateMcuCode.
    void updateApplication();
    // The "Update programmer Boot" button: a boot loader image, in mode NormalWork.
    void updateBootLoader();

    // Writes the first length bytes of imageData and has the programmer verify them against
    // firmwareCrc. 0 on success; -1 no image to write (fewer than 8 bytes, or length outside
    // imageData); -3 a full chunk failed; -4 the last partial chunk failed or the device went away
    // between chunks; -5 the device went away after the chunks; -6 the programmer's CRC check
    // failed.
    int flashFirmwareImage(int32_t length);

    QByteArray imageData;
    int32_t firmwareLength = 0;
    uint32_t firmwareCrc = 0;
    // What the last update press ended with: flashFirmwareImage's result, or kNotRun while the
    // press refused its file or found the programmer gone before writing.
    static constexpr int kNotRun = -1000;
    int lastResult = kNotRun;

  private:
    enum class Kind { Application, BootLoader };
    void update(Kind kind);

    ProgrammerLink& link_;
};

}  // namespace qv
