#include "update/program_image.h"

namespace brinvale {

namespace {

constexpr std::uint16_t kExecutableImage = 0x0002;
constexpr std::uint16_t kDll = 0x2000;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kVersionResourceType = 16;
// A resource directory of a real program has a handful of entries; a count
// beyond this is a file made to make the reader walk.
constexpr std::uint32_t kMaxDirectoryEntries = 4096;

// Little-endian fields at any offset; every read is checked against the end.
class Bytes {
public:
    explicit Bytes(std::span<const std::uint8_t> data) : m_data(data) {}

    bool Has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= m_data.size() && length <= m_data.size() - offset;
    }
    std::optional<std::uint16_t> U16(std::uint64_t offset) const
    {
        if (!Has(offset, 2))
            return std::nullopt;
        return static_cast<std::uint16_t>(m_data[offset] | m_data[offset + 1] << 8);
    }
    std::optional<std::uint32_t> U32(std::uint64_t offset) const
    {
        if (!Has(offset, 4))
            return std::nullopt;
        return static_cast<std::uint32_t>(m_data[offset]) | static_cast<std::uint32_t>(m_data[offset + 1]) << 8 |
               static_cast<std::uint32_t>(m_data[offset + 2]) << 16 |
               static_cast<std::uint32_t>(m_data[offset + 3]) << 24;
    }
    std::span<const std::uint8_t> Slice(std::uint64_t offset, std::uint64_t length) const
    {
        return Has(offset, length) ? m_data.subspan(offset, length) : std::span<const std::uint8_t>();
    }
    std::uint64_t Size() const { return m_data.size(); }

private:
    std::span<const std::uint8_t> m_data;
};

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
};

struct Headers {
    std::uint16_t machine = 0;
    std::uint32_t resourceRva = 0;
    std::uint32_t resourceSize = 0;
    std::uint64_t sectionTable = 0;
    std::uint16_t sectionCount = 0;
};

std::optional<Headers> ReadHeaders(const Bytes& file)
{
    if (file.U16(0) != 0x5A4D)  // "MZ"
        return std::nullopt;
    const std::optional<std::uint32_t> peOffset = file.U32(0x3C);
    if (!peOffset || file.U32(*peOffset) != 0x00004550)  // "PE\0\0"
        return std::nullopt;
    const std::uint64_t coff = *peOffset + 4ull;
    const std::optional<std::uint16_t> machine = file.U16(coff);
    const std::optional<std::uint16_t> sections = file.U16(coff + 2);
    const std::optional<std::uint16_t> optionalSize = file.U16(coff + 16);
    const std::optional<std::uint16_t> characteristics = file.U16(coff + 18);
    if (!machine || !sections || !optionalSize || !characteristics)
        return std::nullopt;
    if (!(*characteristics & kExecutableImage) || (*characteristics & kDll))
        return std::nullopt;

    const std::uint64_t optional = coff + 20;
    const std::optional<std::uint16_t> magic = file.U16(optional);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus)
        return std::nullopt;
    // The word size of the header must be the machine's: an x86 program with
    // a 64-bit header (or the reverse) does not load.
    if ((*machine == kMachineI386 && magic != kMagicPe32) || (*machine == kMachineAmd64 && magic != kMagicPe32Plus))
        return std::nullopt;
    const std::uint64_t directoryCountAt = optional + (magic == kMagicPe32 ? 92 : 108);
    const std::optional<std::uint32_t> directoryCount = file.U32(directoryCountAt);
    if (!directoryCount || directoryCountAt + 4 > optional + *optionalSize)
        return std::nullopt;

    Headers headers;
    headers.machine = *machine;
    headers.sectionTable = optional + *optionalSize;
    headers.sectionCount = *sections;
    if (*directoryCount > kResourceDirectory) {
        const std::uint64_t entry = directoryCountAt + 4 + 8ull * kResourceDirectory;
        if (entry + 8 > optional + *optionalSize)
            return std::nullopt;
        headers.resourceRva = file.U32(entry).value_or(0);
        headers.resourceSize = file.U32(entry + 4).value_or(0);
    }
    if (!file.Has(headers.sectionTable, 40ull * headers.sectionCount))
        return std::nullopt;
    return headers;
}

Section SectionAt(const Bytes& file, const Headers& headers, std::uint16_t index)
{
    const std::uint64_t at = headers.sectionTable + 40ull * index;
    return {file.U32(at + 12).value_or(0), file.U32(at + 8).value_or(0), file.U32(at + 20).value_or(0),
            file.U32(at + 16).value_or(0)};
}

// Every section's data must lie in the file: a download cut short, or padded
// to a length that happens to match, ends before its last section does.
bool SectionsAreInFile(const Bytes& file, const Headers& headers)
{
    for (std::uint16_t i = 0; i < headers.sectionCount; ++i) {
        const Section section = SectionAt(file, headers, i);
        if (section.rawSize > 0 && !file.Has(section.rawOffset, section.rawSize))
            return false;
    }
    return true;
}

// The file offset of length bytes at rva, when one section holds them all.
std::optional<std::uint64_t> FileOffsetOf(const Bytes& file, const Headers& headers, std::uint32_t rva,
                                          std::uint32_t length)
{
    for (std::uint16_t i = 0; i < headers.sectionCount; ++i) {
        const Section section = SectionAt(file, headers, i);
        const std::uint64_t start = section.virtualAddress;
        if (rva < start || static_cast<std::uint64_t>(rva) + length > start + section.rawSize)
            continue;
        return section.rawOffset + (rva - start);
    }
    return std::nullopt;
}

// One level of the resource tree: the offset (from the tree's start) that
// the entry for id leads to, or with id 0 the first entry's. Subdirectory
// entries carry the high bit.
std::optional<std::uint32_t> FindResourceEntry(const Bytes& file, std::uint64_t tree, std::uint32_t directory,
                                               std::uint32_t id)
{
    const std::uint64_t at = tree + directory;
    const std::optional<std::uint16_t> named = file.U16(at + 12);
    const std::optional<std::uint16_t> numbered = file.U16(at + 14);
    if (!named || !numbered || *named + *numbered > kMaxDirectoryEntries)
        return std::nullopt;
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(*named + *numbered); ++i) {
        const std::uint64_t entry = at + 16 + 8ull * i;
        const std::optional<std::uint32_t> name = file.U32(entry);
        const std::optional<std::uint32_t> target = file.U32(entry + 4);
        if (!name || !target)
            return std::nullopt;
        if (id == 0 || (i >= *named && *name == id))
            return *target;
    }
    return std::nullopt;
}

// The version resource: type 16, name 1 (or whichever comes first), its first
// language; the tree's three levels lead to a data entry.
std::span<const std::uint8_t> VersionResource(const Bytes& file, const Headers& headers)
{
    if (headers.resourceRva == 0 || headers.resourceSize == 0)
        return {};
    const std::optional<std::uint64_t> tree = FileOffsetOf(file, headers, headers.resourceRva, 16);
    if (!tree)
        return {};
    constexpr std::uint32_t kSubdirectory = 0x80000000u;
    std::uint32_t offset = 0;
    for (std::uint32_t id : {kVersionResourceType, 1u}) {
        std::optional<std::uint32_t> next = FindResourceEntry(file, *tree, offset, id);
        if (!next && id == 1)
            next = FindResourceEntry(file, *tree, offset, 0);
        if (!next || !(*next & kSubdirectory))
            return {};
        offset = *next & ~kSubdirectory;
    }
    // The language level: its first entry is a data entry, not a directory.
    const std::optional<std::uint32_t> data = FindResourceEntry(file, *tree, offset, 0);
    if (!data || (*data & kSubdirectory))
        return {};
    const std::optional<std::uint32_t> rva = file.U32(*tree + *data);
    const std::optional<std::uint32_t> size = file.U32(*tree + *data + 4);
    if (!rva || !size)
        return {};
    const std::optional<std::uint64_t> at = FileOffsetOf(file, headers, *rva, *size);
    return at ? file.Slice(*at, *size) : std::span<const std::uint8_t>();
}

}  // namespace

std::optional<ProgramImage> ReadProgramImage(std::span<const std::uint8_t> data)
{
    if (data.size() < kMinProgramSize || data.size() > kMaxProgramSize)
        return std::nullopt;
    const Bytes file(data);
    const std::optional<Headers> headers = ReadHeaders(file);
    if (!headers || !SectionsAreInFile(file, *headers))
        return std::nullopt;
    return ProgramImage{headers->machine, VersionResource(file, *headers)};
}

bool MachineRunsHere(std::uint16_t machine, bool windowsIs64Bit)
{
    if (machine == kMachineI386)
        return true;
    return machine == kMachineAmd64 && windowsIs64Bit;
}

}  // namespace brinvale
