// A downloaded program file on arbitrary bytes, read the way the update
// reads it before it may replace the installed program: the program-file
// reader, then the version reader on the version resource it found. Every
// input is also read as a version resource on its own, so that the fuzzer
// reaches the version reader's corners without a program around it. An input
// shorter than the smallest program is padded with zeros to that size (its
// sections then lie in the file), so a seed needs only its headers and its
// resource section.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "update/program_image.h"
#include "update/version_block.h"

namespace brinvale::fuzz {
namespace {

void CheckVersionBlock(std::span<const std::uint8_t> bytes)
{
    // In an allocation of its own: a read past the block is a fault even
    // where the file goes on.
    const std::vector<std::uint8_t> block(bytes.begin(), bytes.end());
    const std::optional<std::string> version = FileVersionInBlock(block);
    if (!version)
        return;
    for (char c : *version)
        FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "a version is printable ASCII");
    // The platform's version functions take such a block for the 16-bit
    // format, and write beyond it.
    FUZZ_CHECK(block[4] < 0x20, "a block that reads as the 16-bit format gives no version");
    const std::size_t length = static_cast<std::size_t>(block[0] | block[1] << 8);
    FUZZ_CHECK(length <= block.size(), "a version comes from a block that fits its bytes");
    const std::vector<std::uint8_t> covered(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
    FUZZ_CHECK(FileVersionInBlock(covered) == version, "only the bytes the block's own length covers are read");
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale;
    std::vector<std::uint8_t> file(std::max(size, kMinProgramSize));
    std::copy(data, data + size, file.begin());
    if (const std::optional<ProgramImage> image = ReadProgramImage(file)) {
        const std::span<const std::uint8_t> resource = image->versionResource;
        FUZZ_CHECK(resource.empty() || (resource.data() >= file.data() &&
                                        resource.data() + resource.size() <= file.data() + file.size()),
                   "the version resource lies in the file");
        fuzz::CheckVersionBlock(resource);
    }
    fuzz::CheckVersionBlock({data, size});
    return 0;
}
