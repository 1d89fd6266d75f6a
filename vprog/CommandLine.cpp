#include "vprog/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace vprog {

namespace {

constexpr uint64_t kMaxSpiSize = 256ull * 1024 * 1024;

const std::pair<Fault, const char*> kFaultNames[] = {
    {Fault::NoReply, "no-reply"},
    {Fault::WrongLetter, "wrong-letter"},
    {Fault::WrongLength, "wrong-length"},
    {Fault::BadCrc, "bad-crc"},
    {Fault::CrcStatusMismatch, "crc-status-mismatch"},
    {Fault::TargetRunFailure, "target-run-failure"},
    {Fault::Unplug, "unplug"},
    {Fault::Stall, "stall"},
};

// Decimal, or hexadecimal after "0x"; the whole text must be the number. No octal: "010" is ten.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty())
        return false;
    for (char c : digits) {
        const bool ok =
            hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c));
        if (!ok)
            return false;
    }
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parsePositiveReal(const std::string& text, double& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno == ERANGE || *end != '\0' || !std::isfinite(parsed) || parsed < 0)
        return false;
    value = parsed;
    return true;
}

}  // namespace

const char* faultName(Fault fault) {
    for (const auto& entry : kFaultNames) {
        if (entry.first == fault)
            return entry.second;
    }
    return nullptr;
}

std::string usageText() {
    return "Usage: qv310-vprog [options]\n"
           "Starts a VIRTUAL programmer: a stand-in for the QV310 USB programmer box that the tool\n"
           "lists as \"virtual:<socket path>\". It runs until interrupted (Ctrl+C or SIGTERM).\n"
           "\n"
           "  --name NAME                 socket name (default vprog)\n"
           "  --dir DIR                   directory of the socket (default the standard one)\n"
           "  --mode MODE                 normal | update-mcu | update-boot (default normal)\n"
           "  --app-version V             application version, 24 bits (default 0x190528)\n"
           "  --boot-version V            boot loader version, 24 bits (default 0x181201)\n"
           "  --board-mcu V               board MCU type word (default 0x19710310)\n"
           "  --board-id V                board id word (default 0x00000001)\n"
           "  --board-flash-id V          board flash id, 24 bits (default 0x1C4016)\n"
           "  --target-type V             target type code (default 0x19713100, QV310)\n"
           "  --target-flash-id V         target SPI flash id (default 0x1C4016)\n"
           "  --spi-size BYTES            target SPI flash size (default 0x200000)\n"
           "  --target-run-status V       run status a target run reports, 0-255 (default 0)\n"
           "  --wire-bytes-per-second N   wire speed model (default 0: instant)\n"
           "  --wire-mbps X               wire speed in megabits per second\n"
           "  --flash-program-us N        flash programming time per 4096 bytes written\n"
           "  --timing instant|realistic  realistic: typical SPI NOR and code flash erase and\n"
           "                              program times, reads for the CRC checks and the USB\n"
           "                              link (default instant; see the README for the figures)\n"
           "  --usb full|high             USB link of the realistic timing (default high)\n"
           "  --fault KIND --fault-at N   inject one fault at the N-th request (1-based); KIND is\n"
           "                              no-reply, wrong-letter, wrong-length, bad-crc,\n"
           "                              crc-status-mismatch, target-run-failure, unplug or stall\n"
           "  --trace                     print every request and reply in hexadecimal\n"
           "  --dump-code FILE            save the target code flash to FILE at exit\n"
           "  --dump-spi FILE             save the target SPI flash to FILE at exit\n"
           "  --dump-firmware FILE        save the programmer's firmware area to FILE at exit\n"
           "  --stop-at-eof               also stop when standard input ends\n"
           "  --help                      show this text\n"
           "\n"
           "Numbers are decimal or 0x-hexadecimal.\n";
}

bool parseCommandLine(const std::vector<std::string>& args, CommandLine& result, std::string& error) {
    Options& o = result.options;
    bool faultGiven = false;
    bool faultAtGiven = false;
    UsbSpeed usb = UsbSpeed::High;
    bool usbGiven = false;

    auto number = [](uint64_t max, auto assign) {
        return [max, assign](const std::string& v) {
            uint64_t n = 0;
            if (!parseNumber(v, max, n))
                return false;
            assign(n);
            return true;
        };
    };
    using Handler = std::function<bool(const std::string&)>;
    const std::map<std::string, Handler> withValue = {
        {"--name",
         [&](const std::string& v) {
             o.name = v;
#ifdef _WIN32
             // One component of the pipe name \\.\pipe\qv310-isp\NAME.
             return !v.empty() && v != "." && v != ".." && v.find_first_of("/\\") == std::string::npos;
#else
             return !v.empty() && v != "." && v != ".." && v.find('/') == std::string::npos;
#endif
         }},
        {"--dir",
         [&](const std::string& v) {
             o.directory = v;
             return !v.empty();
         }},
        {"--mode",
         [&](const std::string& v) {
             if (v == "normal")
                 o.modeLetter = ';';
             else if (v == "update-mcu")
                 o.modeLetter = '[';
             else if (v == "update-boot")
                 o.modeLetter = '+';
             else
                 return false;
             return true;
         }},
        {"--app-version", number(0xFFFFFF, [&](uint64_t n) { o.appVersion = uint32_t(n); })},
        {"--boot-version", number(0xFFFFFF, [&](uint64_t n) { o.bootVersion = uint32_t(n); })},
        {"--board-mcu", number(0xFFFFFFFF, [&](uint64_t n) { o.boardMcu = uint32_t(n); })},
        {"--board-id", number(0xFFFFFFFF, [&](uint64_t n) { o.boardId = uint32_t(n); })},
        {"--board-flash-id", number(0xFFFFFF, [&](uint64_t n) { o.boardFlashId = uint32_t(n); })},
        {"--target-type", number(0xFFFFFFFF, [&](uint64_t n) { o.targetType = uint32_t(n); })},
        {"--target-flash-id", number(0xFFFFFFFF, [&](uint64_t n) { o.targetFlashId = uint32_t(n); })},
        {"--spi-size",
         [&](const std::string& v) {
             uint64_t n = 0;
             if (!parseNumber(v, kMaxSpiSize, n) || n == 0)
                 return false;
             o.spiFlashSize = uint32_t(n);
             return true;
         }},
        {"--target-run-status", number(0xFF, [&](uint64_t n) { o.targetRunStatus = uint8_t(n); })},
        {"--wire-bytes-per-second",
         [&](const std::string& v) { return parsePositiveReal(v, o.wireBytesPerSecond); }},
        {"--wire-mbps",
         [&](const std::string& v) {
             double mbps = 0;
             if (!parsePositiveReal(v, mbps))
                 return false;
             o.wireBytesPerSecond = mbps * 1e6 / 8;
             return true;
         }},
        {"--flash-program-us",
         number(0xFFFFFFFF, [&](uint64_t n) { o.flashProgramMicrosPer4K = uint32_t(n); })},
        {"--timing",
         [&](const std::string& v) {
             if (v != "instant" && v != "realistic")
                 return false;
             o.realistic = v == "realistic";
             return true;
         }},
        {"--usb",
         [&](const std::string& v) {
             if (v != "full" && v != "high")
                 return false;
             usb = v == "full" ? UsbSpeed::Full : UsbSpeed::High;
             usbGiven = true;
             return true;
         }},
        {"--fault",
         [&](const std::string& v) {
             for (const auto& entry : kFaultNames) {
                 if (v == entry.second) {
                     o.fault = entry.first;
                     faultGiven = true;
                     return true;
                 }
             }
             return false;
         }},
        {"--fault-at",
         [&](const std::string& v) {
             uint64_t n = 0;
             if (!parseNumber(v, 0xFFFFFFFF, n) || n == 0)
                 return false;
             o.faultAtRequest = uint32_t(n);
             faultAtGiven = true;
             return true;
         }},
        {"--dump-code",
         [&](const std::string& v) {
             o.dumpCodePath = v;
             return !v.empty();
         }},
        {"--dump-spi",
         [&](const std::string& v) {
             o.dumpSpiPath = v;
             return !v.empty();
         }},
        {"--dump-firmware",
         [&](const std::string& v) {
             o.dumpFirmwarePath = v;
             return !v.empty();
         }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inlineValue = false;
        const size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            inlineValue = true;
        }
        if (option == "--help" || option == "-h") {
            result.help = true;
            continue;
        }
        if (option == "--stop-at-eof" && !inlineValue) {
            result.stopAtEof = true;
            continue;
        }
        if (option == "--trace" && !inlineValue) {
            o.trace = true;
            continue;
        }
        const auto handler = withValue.find(option);
        if (handler == withValue.end()) {
            error = "unknown option: " + args[i];
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "missing value for " + option;
                return false;
            }
            value = args[++i];
        }
        if (!handler->second(value)) {
            error = "bad value for " + option + ": '" + value + "'";
            return false;
        }
    }
    if (faultGiven != faultAtGiven) {
        error = "--fault and --fault-at go together";
        return false;
    }
    if (o.realistic && (o.wireBytesPerSecond > 0 || o.flashProgramMicrosPer4K > 0)) {
        error = "--timing realistic has its own wire and flash times";
        return false;
    }
    if (usbGiven && !o.realistic) {
        error = "--usb goes with --timing realistic";
        return false;
    }
    o.realisticTiming = RealisticTiming::forUsb(usb);
    return true;
}

}  // namespace vprog
