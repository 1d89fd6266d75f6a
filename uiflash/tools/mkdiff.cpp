// qv310-mkdiff: builds the difference file that turns the UI area holding OLD.bin into the UI
// area holding NEW.bin, for the "Update UI" button's block-difference update.

#include "uiflash/UiFormats.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kUsageError = 2;
constexpr int kIoError = 1;

void printUsage(std::ostream& out) {
    out << "Usage: qv310-mkdiff OLD.bin NEW.bin OUT.diff [--index N]\n"
           "\n"
           "Writes OUT.diff, the difference file that turns a UI area holding OLD.bin into one\n"
           "holding NEW.bin. The images are compared in 4096-byte sectors; adjacent changed\n"
           "sectors become one block. A valid UI image header (bytes 372-383) is compared and\n"
           "written as 0xFF, as a full write leaves it. When NEW.bin is shorter than OLD.bin,\n"
           "the flash beyond NEW.bin's end is left as it is.\n"
           "\n"
           "Options:\n"
           "  --index N   the diff_index word of the header (decimal or 0x hexadecimal; default 0)\n"
           "  -h, --help  show this text\n"
           "\n"
           "Exit status: 0 written, 1 a file could not be read or written, 2 bad usage.\n";
}

int usageError(const std::string& message) {
    std::cerr << "qv310-mkdiff: " << message << "\n";
    std::cerr << "Try 'qv310-mkdiff --help'.\n";
    return kUsageError;
}

bool parseIndex(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull)
        return false;
    value = uint32_t(parsed);
    return true;
}

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    uint32_t index = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            printUsage(std::cout);
            return 0;
        }
        if (arg == "--index") {
            if (i + 1 >= argc)
                return usageError("--index needs a value");
            if (!parseIndex(argv[++i], index)) {
                return usageError(std::string("not a 32-bit number: ") + argv[i]);
            }
        } else if (arg.rfind("--index=", 0) == 0) {
            if (!parseIndex(arg.substr(8), index)) {
                return usageError("not a 32-bit number: " + arg.substr(8));
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option: " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 3)
        return usageError("expected OLD.bin NEW.bin OUT.diff");

    std::vector<uint8_t> oldImage;
    std::vector<uint8_t> newImage;
    if (!readFile(files[0], oldImage)) {
        std::cerr << "qv310-mkdiff: cannot read " << files[0] << ": " << std::strerror(errno) << "\n";
        return kIoError;
    }
    if (!readFile(files[1], newImage)) {
        std::cerr << "qv310-mkdiff: cannot read " << files[1] << ": " << std::strerror(errno) << "\n";
        return kIoError;
    }
    // Every block must end inside the 32-bit flash address space above the UI base.
    if (newImage.size() > uint64_t(qv::kDiffMaxBlockLength) - qv::kUiFlashBase) {
        std::cerr << "qv310-mkdiff: " << files[1] << " is too large for the UI area\n";
        return kIoError;
    }

    qv::DiffMakerSummary summary;
    const std::vector<uint8_t> diff = qv::makeDiffFile(oldImage, newImage, index, &summary);
    if (!writeFile(files[2], diff)) {
        std::cerr << "qv310-mkdiff: cannot write " << files[2] << ": " << std::strerror(errno) << "\n";
        return kIoError;
    }
    std::cout << files[2] << ": " << summary.blocks << " block" << (summary.blocks == 1 ? "" : "s") << ", "
              << summary.blockBytes << " bytes of block data, " << summary.fileBytes << " bytes in all\n";
    return 0;
}
