// Fuzz target for the UI flash formats. The input is read three ways:
//  - as a difference file: the acceptance test and record walk must never read outside the input,
//    every accepted record must lie inside it, and the records must tile the block area exactly;
//  - as a UI image: the header reader must never read outside the input;
//  - as two images (split at the first byte's share of the rest): the difference file made from
//    them must be accepted and, applied to the old image's flash form, give the new one's.

#include "protocol/Crc32.h"
#include "uiflash/UiFormats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the end is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    const uint8_t* bytes = copy.get();

    const qv::DiffCheck check = qv::checkDiffFile(bytes, size);
    const qv::DiffLayout layout = qv::walkDiffBlocks(bytes, size);
    if (layout.ok()) {
        size_t p = qv::kDiffHeaderSize;
        for (const qv::DiffBlock& b : layout.blocks) {
            require(b.headOffset == p && b.nextOffset() <= size);
            require(uint64_t(b.flashAddress()) + b.blk_len <= (uint64_t(1) << 32));
            p = b.nextOffset();
        }
        require(p == size);
    }
    if (check.accepted())
        require(layout.ok());

    const qv::UiImageInfo info = qv::readUiImage(bytes, size);
    require(!info.hasHeader || size >= qv::kUiHeaderEnd);

    if (size > 0) {
        const size_t rest = size - 1;
        const size_t split = rest * bytes[0] / 255;
        const std::vector<uint8_t> oldImage(bytes + 1, bytes + 1 + split);
        const std::vector<uint8_t> newImage(bytes + 1 + split, bytes + size);
        const std::vector<uint8_t> diff = qv::makeDiffFile(oldImage, newImage, 0);
        require(qv::checkDiffFile(diff.data(), diff.size()).accepted());
        std::vector<uint8_t> area = qv::uiFlashForm(oldImage.data(), oldImage.size());
        require(qv::applyDiffFile(diff.data(), diff.size(), area));
        const std::vector<uint8_t> wanted = qv::uiFlashForm(newImage.data(), newImage.size());
        require(area.size() >= wanted.size());
        require(std::equal(wanted.begin(), wanted.end(), area.begin()));
    }
    return 0;
}
