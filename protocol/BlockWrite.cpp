#include "BlockWrite.h"

#include "Crc32.h"
#include "ProgrammerLink.h"
#include "Reporter.h"
#include "usb/UsbDevice.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qv {

namespace {

constexpr uint32_t kPieceSize = 4096;

}  // namespace

bool holdsAlready(ProgrammerLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
    return link.checkDataCrc(crc32zero(data, length), address, length) == 0;
}

QString blockCountsLine(const BlockCounts& counts) {
    return QStringLiteral("Blocks written: ") + QString::number(counts.written) +
           QStringLiteral(", unchanged and skipped: ") + QString::number(counts.skipped);
}

BlockSkip::BlockSkip(ProgrammerLink& link, bool enabled, BlockCounts& counts)
    : link_(link), enabled_(enabled), counts_(counts) {
    counts_ = BlockCounts();
}

bool BlockSkip::askWholeRange(const uint8_t* data, uint32_t address, uint32_t length) {
    if (!enabled_)
        return false;
    wholeCrc_ = crc32zero(data, length);
    wholeAddress_ = address;
    wholeLength_ = length;
    wholeRangeHolds_ = link_.checkDataCrc(wholeCrc_, address, length) == 0;
    return wholeRangeHolds_;
}

bool BlockSkip::leaveAsItIs(const uint8_t* data, uint32_t address, uint32_t length) {
    const bool same = enabled_ && (wholeRangeHolds_ || holdsAlready(link_, data, address, length));
    count(same);
    return same;
}

void BlockSkip::count(bool leftAsItIs) {
    ++(leftAsItIs ? counts_.skipped : counts_.written);
}

bool BlockSkip::finalCheckAnswered(uint32_t crc, uint32_t address, uint32_t length) const {
    return enabled_ && wholeRangeHolds_ && counts_.written == 0 && crc == wholeCrc_ && address == wholeAddress_ &&
           length == wholeLength_;
}

BlockWriteOutcome writeBlocks(ProgrammerLink& link, const BlockWrite& write) {
    Reporter& report = link.report();
    BlockWriteOutcome outcome;
    // Each piece is copied out of the image first: the exchange never reads past the piece.
    std::vector<uint8_t> piece(kPieceSize);
    const auto send = [&](uint32_t offset, uint32_t length) {
        std::memcpy(piece.data(), write.data + offset, length);
        const uint32_t address = write.address + offset;
        if (write.skip && write.skip->leaveAsItIs(piece.data(), address, length))
            return 0;
        const int r = write.transaction == BlockWrite::Transaction::Firmware
                          ? link.writeFirmwareChunk(piece.data(), address, length)
                          : link.writeDataChunk(piece.data(), address, length);
        if (r != 0)
            outcome.failedAt = address;
        return r;
    };
    const auto stopped = [&] { return write.stopOnRequest && report.stopRequested(); };

    const uint32_t wholePieces = write.length / kPieceSize;
    for (uint32_t k = 0; k < wholePieces; ++k) {
        const uint32_t offset = k * kPieceSize;
        outcome.result = send(offset, kPieceSize);
        if (outcome.result != 0) {
            outcome.status = BlockWriteOutcome::Status::WholePieceFailed;
            return outcome;
        }
        if (write.progress)
            write.progress(offset + kPieceSize);
        report.processEvents();
        if (write.stopWhenDeviceCloses && !link.device().isOpen()) {
            outcome.status = BlockWriteOutcome::Status::DeviceClosed;
            return outcome;
        }
        if (stopped()) {
            outcome.status = BlockWriteOutcome::Status::Stopped;
            return outcome;
        }
    }
    const uint32_t rest = write.length % kPieceSize;
    if (rest > 0) {
        outcome.result = send(wholePieces * kPieceSize, rest);
        if (outcome.result != 0) {
            outcome.status = BlockWriteOutcome::Status::LastPieceFailed;
            return outcome;
        }
        if (write.stopOnRequest) {
            report.processEvents();
            if (stopped())
                outcome.status = BlockWriteOutcome::Status::Stopped;
        }
    }
    return outcome;
}

}  // namespace qv
