#include "vprog/VirtualProgrammer.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"

#include <algorithm>
#include <cstring>

namespace vprog {

namespace {

namespace fr = qv::frame;

constexpr uint8_t kUnknownLetter = '?';  // the answer to a request the box cannot take
constexpr uint32_t kSpiBase = 0x80000;   // target addresses from here on are in the SPI flash
constexpr uint32_t kQv310 = 0x19713100;
constexpr uint32_t kFirmwareVersionOffset = 0x1000;
constexpr size_t kTargetReplyLength = 17;  // short reply + SPI flash id outside the CRC

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t be24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void put24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}

// Writes the CRC of bytes [0, covered) big-endian right after them.
void seal(std::vector<uint8_t>& reply, size_t covered) {
    put32(reply.data() + covered, qv::crc32zero(reply.data(), covered));
}

std::vector<uint8_t> shortReply(uint8_t letter, uint32_t crc = 0, uint8_t status = 0) {
    std::vector<uint8_t> r(fr::kShortReplyLength, 0);
    r[0] = fr::kStart0;
    r[1] = fr::kStart1;
    r[2] = letter;
    put32(&r[4], crc);
    r[8] = status;
    seal(r, 9);
    return r;
}

std::vector<uint8_t> refused() {
    return shortReply(kUnknownLetter);
}

// A range [start, start + length) that lies wholly inside a memory of the given size.
bool fits(uint64_t start, uint64_t length, uint64_t size) {
    return start <= size && length <= size - start;
}

bool isDataFrame(uint8_t letter) {
    return letter == fr::kWriteFirmware || letter == fr::kWriteData;
}
bool isCommandFrame(uint8_t letter) {
    return letter == fr::kCheckFirmware || letter == fr::kCheckData || letter == fr::kConnect ||
           letter == fr::kFinishFirmware || letter == fr::kTargetControl;
}

// The size a well-formed request of this letter occupies on the wire, or 0 when it cannot be
// told (too short to carry a length field). A data frame of exactly 36 bytes travels as 38.
size_t wireSize(const uint8_t* request, size_t length) {
    const uint8_t letter = request[2];
    if (isCommandFrame(letter))
        return fr::kCommandFrameLength;
    if (length < 6)
        return 0;
    const uint32_t total = be24(request + 3);
    return total == 36 ? 38 : total;
}

// Checks the parts every request shares: start bytes, a known letter, its exact size on the
// wire, a sane length field, its own CRC. Anything else is answered with '?', so a tool that
// sends a malformed frame sees a wrong letter instead of a silent success.
bool wellFormed(const uint8_t* request, size_t length) {
    if (length < 3 || request[0] != fr::kStart0 || request[1] != fr::kStart1)
        return false;
    const uint8_t letter = request[2];
    if (!isDataFrame(letter) && !isCommandFrame(letter))
        return false;
    if (wireSize(request, length) != length)
        return false;
    size_t covered = 32;
    if (isDataFrame(letter)) {
        const uint32_t total = be24(request + 3);
        if (total < fr::kDataFrameOverhead || total - fr::kDataFrameOverhead > fr::kMaxPayload)
            return false;
        covered = total - 4;
    }
    return be32(request + covered) == qv::crc32zero(request, covered);
}

}  // namespace

DeviceModel::DeviceModel(const Options& options)
    : options_(options),
      code_(kCodeFlashSize, 0xFF),
      spi_(options.spiFlashSize, 0xFF),
      firmware_(kFirmwareAreaSize, 0xFF),
      // The erase bookkeeping exists only for the realistic model (one bit per byte).
      codeErase_(options.realistic ? kCodeFlashSize : 0, options.realisticTiming.codePageBytes),
      spiErase_(options.realistic ? options.spiFlashSize : 0, options.realisticTiming.spiSectorBytes),
      firmwareErase_(options.realistic ? kFirmwareAreaSize : 0, options.realisticTiming.codePageBytes) {}

RealisticTiming RealisticTiming::forUsb(UsbSpeed speed) {
    RealisticTiming t;
    if (speed == UsbSpeed::Full) {
        t.usbBytesPerSecond = 1216000;  // 19 x 64 bytes per 1 ms frame
        t.usbExchangeMicros = 1000;
    }
    return t;
}

DeviceModel::EraseState::EraseState(size_t size, uint32_t unit)
    : unitBytes(std::max<uint32_t>(unit, 1)),
      erased((size + unitBytes - 1) / unitBytes, 0),
      programmed(size, false) {}

// A real programmer erases before it programs: a unit is erased the first time a write touches
// it, and again when a write would program a byte that was programmed since (the rest of the unit
// is read back and programmed again, so the stored bytes are those a plain write leaves).
uint32_t DeviceModel::EraseState::unitsToErase(size_t offset, size_t n) {
    uint32_t count = 0;
    const size_t end = std::min(offset + n, programmed.size());
    for (size_t unit = offset / unitBytes; unit * unitBytes < end; ++unit) {
        const size_t unitStart = unit * unitBytes;
        const size_t unitEnd = std::min(unitStart + unitBytes, programmed.size());
        const size_t from = std::max(offset, unitStart);
        const size_t to = std::min(end, unitEnd);
        bool again = !erased[unit];
        for (size_t i = from; i < to && !again; ++i)
            again = programmed[i];
        if (again) {
            ++count;
            erased[unit] = 1;
            std::fill(programmed.begin() + long(unitStart), programmed.begin() + long(unitEnd), false);
        }
        std::fill(programmed.begin() + long(from), programmed.begin() + long(to), true);
    }
    return count;
}

namespace {
uint64_t micros(double bytes, double bytesPerSecond) {
    return bytesPerSecond > 0 ? uint64_t(bytes * 1e6 / bytesPerSecond) : 0;
}
// Units of the given size that [offset, offset + n) touches.
uint64_t unitsTouched(uint64_t offset, uint64_t n, uint64_t unit) {
    return n == 0 ? 0 : (offset + n - 1) / unit - offset / unit + 1;
}
}  // namespace

// The time a real board takes for a request the model carried out: the USB exchange, then the
// memory work (erase, program, read for a CRC) at the figures of RealisticTiming.
uint64_t DeviceModel::realisticDelay(const uint8_t* request, size_t length, size_t replyLength,
                                     bool carriedOut) {
    const RealisticTiming& t = options_.realisticTiming;
    uint64_t delay = t.usbExchangeMicros + micros(double(length + replyLength), t.usbBytesPerSecond);
    // Only a request the box carried out costs memory time; a refused one only its exchange.
    if (!carriedOut)
        return delay;
    const uint8_t letter = request[2];
    const uint32_t argument = be32(request + 6);
    if (letter == fr::kWriteData || letter == fr::kWriteFirmware) {
        const uint32_t n = be24(request + 3) - fr::kDataFrameOverhead;
        const uint64_t doubleWords = (uint64_t(n) + 7) / 8;
        if (letter == fr::kWriteFirmware) {
            delay += firmwareErase_.unitsToErase(argument, n) * uint64_t(t.codePageEraseMicros);
            delay += doubleWords * t.codeDoubleWordProgramMicros;
        } else if (argument < kCodeFlashSize) {
            delay += micros(n, t.swdBytesPerSecond);
            delay += codeErase_.unitsToErase(argument, n) * uint64_t(t.codePageEraseMicros);
            delay += doubleWords * t.codeDoubleWordProgramMicros;
        } else {
            const uint32_t offset = argument - kSpiBase;
            delay += micros(n, t.spiBytesPerSecond);
            delay += spiErase_.unitsToErase(offset, n) * uint64_t(t.spiSectorEraseMicros);
            delay += unitsTouched(offset, n, std::max<uint32_t>(t.spiPageBytes, 1)) * t.spiPageProgramMicros;
        }
    } else if (letter == fr::kCheckData || letter == fr::kCheckFirmware) {
        const uint32_t n = be32(request + 10);
        if (letter == fr::kCheckData)
            delay += micros(n, argument < kCodeFlashSize ? t.swdBytesPerSecond : t.spiBytesPerSecond);
        delay += micros(n, t.crcBytesPerSecond);
    }
    return delay;
}

std::vector<uint8_t> DeviceModel::connectionReply() const {
    std::vector<uint8_t> r(fr::kConnectionReplyLength, 0);
    const bool application = options_.modeLetter == fr::kModeNormalWork;
    r[0] = fr::kStart0;
    r[1] = fr::kStart1;
    r[2] = options_.modeLetter;
    put24(&r[3], application ? options_.appVersion : options_.bootVersion);
    put24(&r[7], options_.boardFlashId);
    put32(&r[14], options_.boardMcu);
    put24(&r[18], application ? options_.bootVersion : options_.appVersion);
    put32(&r[22], options_.boardId);
    seal(r, 32);
    return r;
}

bool DeviceModel::faultFired() const {
    return faultFired_ && firedFault_ == options_.fault && firedAt_ == options_.faultAtRequest;
}

// Status and run faults wait for the first request they can show on: a drill that says "status
// mismatch at request 5" still works when request 5 happens to be a write.
bool DeviceModel::faultAppliesTo(const uint8_t* request, size_t length) const {
    if (options_.fault == Fault::None || faultFired() || requests_ < options_.faultAtRequest)
        return false;
    const uint8_t letter = length >= 3 ? request[2] : 0;
    switch (options_.fault) {
        case Fault::CrcStatusMismatch:
            return wellFormed(request, length) && (letter == fr::kCheckData || letter == fr::kCheckFirmware);
        case Fault::TargetRunFailure:
            return wellFormed(request, length) && letter == fr::kTargetControl && request[6] == '1';
        default:
            return requests_ == options_.faultAtRequest;
    }
}

DeviceModel::Response DeviceModel::handle(const uint8_t* request, size_t length) {
    ++requests_;
    log_.emplace_back(request, request + length);

    Response response;
    const bool fault = faultAppliesTo(request, length);
    if (fault) {
        faultFired_ = true;
        firedFault_ = options_.fault;
        firedAt_ = options_.faultAtRequest;
    }
    const Fault kind = fault ? options_.fault : Fault::None;

    // A request that is never answered is never carried out either: the box went quiet or away
    // before it acted.
    if (kind == Fault::NoReply) {
        response.outcome = Outcome::NoReply;
        return response;
    }
    if (kind == Fault::Unplug) {
        response.outcome = Outcome::Unplug;
        return response;
    }
    if (kind == Fault::Stall) {
        response.outcome = Outcome::Stall;
        return response;
    }

    bool restart = false;
    response.reply = answer(request, length, restart);
    if (restart)
        response.outcome = Outcome::Restart;

    std::vector<uint8_t>& r = response.reply;
    if (options_.realistic) {
        const bool carriedOut = wellFormed(request, length) && r[2] == fr::replyLetter(request[2]);
        response.delayMicros = realisticDelay(request, length, r.size(), carriedOut);
    } else if (length >= 3 && request[2] == fr::kWriteData && r[2] == fr::replyLetter(fr::kWriteData)) {
        const uint64_t payload = be24(request + 3) - fr::kDataFrameOverhead;
        response.delayMicros += uint64_t(options_.flashProgramMicrosPer4K) * payload / 4096;
    }

    const bool connection = r.size() == fr::kConnectionReplyLength;
    const size_t covered = connection ? 32 : 9;
    switch (kind) {
        case Fault::WrongLetter:
            // Still a sound frame: only the letter is wrong, so the tool must judge the letter.
            ++r[2];
            seal(r, covered);
            break;
        case Fault::WrongLength:
            r.push_back(0);
            break;
        case Fault::BadCrc:
            r[covered + 3] ^= 0x01;
            break;
        case Fault::CrcStatusMismatch:
            r[8] = 5;
            seal(r, 9);
            break;
        case Fault::TargetRunFailure:
            r[7] = 1;
            seal(r, 9);
            break;
        default:
            break;
    }

    if (!options_.realistic && options_.wireBytesPerSecond > 0) {
        const double bytes = double(length) + double(r.size());
        response.delayMicros += uint64_t(bytes * 1e6 / options_.wireBytesPerSecond);
    }
    return response;
}

std::vector<uint8_t> DeviceModel::answer(const uint8_t* request, size_t length, bool& restart) {
    if (!wellFormed(request, length))
        return refused();
    const uint8_t letter = request[2];
    const uint8_t replyLetter = fr::replyLetter(letter);
    const uint32_t argument = be32(request + 6);

    switch (letter) {
        case fr::kConnect:
            if (request[3] != 'Q' || request[4] != 'V')
                return refused();
            return connectionReply();

        case fr::kWriteFirmware:
        case fr::kWriteData: {
            const uint32_t n = be24(request + 3) - fr::kDataFrameOverhead;
            const uint8_t* payload = request + 10;
            if (letter == fr::kWriteFirmware) {
                if (!fits(argument, n, firmware_.size()))
                    return refused();
                std::copy(payload, payload + n, firmware_.begin() + argument);
            } else if (fits(argument, n, code_.size())) {
                std::copy(payload, payload + n, code_.begin() + argument);
            } else if (argument >= kSpiBase && fits(argument - kSpiBase, n, spi_.size())) {
                std::copy(payload, payload + n, spi_.begin() + (argument - kSpiBase));
            } else {
                return refused();
            }
            return shortReply(replyLetter);
        }

        case fr::kCheckFirmware:
        case fr::kCheckData: {
            if (be24(request + 3) != fr::kCommandFrameLength)
                return refused();
            const uint32_t n = be32(request + 10);
            const uint32_t expected = be32(request + 14);
            const uint8_t* base = nullptr;
            if (letter == fr::kCheckFirmware) {
                if (fits(argument, n, firmware_.size()))
                    base = firmware_.data() + argument;
            } else if (fits(argument, n, code_.size())) {
                base = code_.data() + argument;
            } else if (argument >= kSpiBase && fits(argument - kSpiBase, n, spi_.size())) {
                base = spi_.data() + (argument - kSpiBase);
            }
            if (base == nullptr)
                return refused();
            const uint32_t crc = qv::crc32zero(base, n);
            return shortReply(replyLetter, crc, crc == expected ? 0 : 1);
        }

        case fr::kFinishFirmware: {
            if (request[3] != 'u' || request[4] != 's' || request[5] != 'B')
                return refused();
            // The new firmware announces its own version from its image header.
            const uint32_t version = be24(firmware_.data() + kFirmwareVersionOffset);
            if (request[6] == 0) {
                options_.bootVersion = version;
            } else {
                options_.appVersion = version;
            }
            options_.modeLetter = fr::kModeNormalWork;
            restart = true;
            return shortReply(replyLetter);
        }

        case fr::kTargetControl: {
            if (request[3] != 'S' || request[4] != 'W' || request[5] != 'D')
                return refused();
            const uint8_t mode = request[6];
            if (mode != '0' && mode != '1')
                return refused();
            lastSpeed_ = request[11];
            if (mode == '0') {
                std::vector<uint8_t> r = shortReply(replyLetter);
                put32(&r[3], options_.targetType);
                seal(r, 9);
                if (options_.targetType == kQv310) {
                    r.resize(kTargetReplyLength, 0);
                    put32(&r[13], options_.targetFlashId);
                }
                return r;
            }
            lastRunAddress_ = be32(request + 7);
            lastPower_ = request[12];
            ++targetRuns_;
            std::vector<uint8_t> r = shortReply(replyLetter);
            r[7] = options_.targetRunStatus;
            seal(r, 9);
            return r;
        }
    }
    return refused();
}

}  // namespace vprog
