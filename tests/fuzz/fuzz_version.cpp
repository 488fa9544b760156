// The version rule on arbitrary texts: a text that reads as a version reads
// back as itself (digits and dots, one to four parts, no part written two
// ways); every version a Windows program can state is read; and versions
// compare as their four parts, each written with five digits, compare as
// texts. The input is one text, and also two versions to compare: the parts
// before and after its first '|' (or its two halves); its first nine bytes
// also make a version of four 16-bit numbers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "update/version.h"

namespace brinvale::fuzz {
namespace {

// The version's first `count` parts as a release would write them.
std::string Written(const ProgramVersion& version, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i > 0 ? "." : "") + std::to_string(version.parts[i]);
    return text;
}

std::string FiveDigitParts(const ProgramVersion& version)
{
    char key[24];
    std::snprintf(key, sizeof key, "%05u%05u%05u%05u", version.parts[0], version.parts[1], version.parts[2],
                  version.parts[3]);
    return key;
}

void CheckAnyText(std::string_view text)
{
    const std::optional<ProgramVersion> version = ProgramVersion::Parse(text);
    if (!version)
        return;
    const std::size_t parts = static_cast<std::size_t>(std::count(text.begin(), text.end(), '.')) + 1;
    FUZZ_CHECK(parts <= 4 && Written(*version, parts) == text, "a version reads back as its own text");
    for (std::size_t i = parts; i < 4; ++i)
        FUZZ_CHECK(version->parts[i] == 0, "missing parts are 0");
}

void CheckEveryVersionIsRead(const std::uint8_t* data, std::size_t size)
{
    if (size < 9)
        return;
    ProgramVersion version;
    for (std::size_t i = 0; i < 4; ++i)
        version.parts[i] = static_cast<std::uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
    const std::size_t count = 1 + data[8] % 4;
    for (std::size_t i = count; i < 4; ++i)
        version.parts[i] = 0;
    FUZZ_CHECK(ProgramVersion::Parse(Written(version, count)) == version, "every version is read as written");
}

void CheckPair(std::string_view x, std::string_view y)
{
    const std::optional<ProgramVersion> xVersion = ProgramVersion::Parse(x);
    const std::optional<ProgramVersion> yVersion = ProgramVersion::Parse(y);
    const UpdateOffer offer{"ok", std::string(x), "http://127.0.0.1/x.exe"};
    if (!xVersion) {
        FUZZ_CHECK(!OffersNewerVersion(offer, y), "a text that is no version is never an update");
        return;
    }
    if (!yVersion) {
        FUZZ_CHECK(OffersNewerVersion(offer, y) == (*xVersion > ProgramVersion{}),
                   "a program without a version counts as 0.0.0.0");
        return;
    }
    const int order = FiveDigitParts(*xVersion).compare(FiveDigitParts(*yVersion));
    FUZZ_CHECK((*xVersion < *yVersion) == (order < 0) && (*xVersion == *yVersion) == (order == 0),
               "versions compare as their parts");
    FUZZ_CHECK(OffersNewerVersion(offer, y) == (order > 0), "an offer is newer exactly when its parts are larger");
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale::fuzz;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckAnyText(text);
    CheckEveryVersionIsRead(data, size);

    std::size_t split = text.find('|');
    const std::size_t skip = split == std::string_view::npos ? 0 : 1;
    if (split == std::string_view::npos)
        split = size / 2;
    const std::string_view first = text.substr(0, split);
    const std::string_view second = text.substr(split + skip);
    CheckAnyText(first);
    CheckAnyText(second);
    CheckPair(first, second);
    return 0;
}
