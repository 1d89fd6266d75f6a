#pragma once

#include <QByteArray>

#include <cstdint>

namespace qv {

class OperationHost;
class ProgrammerLink;

// The window's two buttons that replace the programmer's own application firmware (*.app) or boot
// loader (*.boot): the file dialog, the enabled buttons around the update. The update itself is
// protocol/FirmwareImage. Runs on the window's thread.
class FirmwareUpdate {
  public:
    FirmwareUpdate(ProgrammerLink& link, OperationHost& host);

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
    // The buttons after an update was written and closed.
    void afterUpdate();

    ProgrammerLink& link_;
    OperationHost& host_;
};

}  // namespace qv
