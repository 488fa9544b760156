// What a downloaded update must be before it may replace the installed
// program: a whole Windows program for a machine this Windows runs. Read from
// the file's bytes alone, so the rules hold (and are tested) on every
// platform; nothing here trusts a single field of the file unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace brinvale {

// The gateway is a few megabytes; anything far smaller is an error page or a
// stub, anything larger is not ours and would only fill the till's disk.
constexpr std::size_t kMinProgramSize = 64 * 1024;
constexpr std::size_t kMaxProgramSize = 64 * 1024 * 1024;

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMachineArm64 = 0xAA64;

struct ProgramImage {
    std::uint16_t machine = 0;
    // The version resource (VS_VERSIONINFO) as the file holds it; empty when
    // the program has none.
    std::span<const std::uint8_t> versionResource;
};

// The headers of a Windows program file: the MZ and PE signatures, a 32- or
// 64-bit optional header that matches the machine, an executable image that
// is not a DLL, and every section's data inside the file (a file cut short
// fails here). nullopt for anything else, and for a size outside
// kMinProgramSize..kMaxProgramSize.
std::optional<ProgramImage> ReadProgramImage(std::span<const std::uint8_t> file);

// True when a Windows of that kind runs programs built for machine: x86
// programs run everywhere, x64 ones only on 64-bit Windows, others nowhere we
// install.
bool MachineRunsHere(std::uint16_t machine, bool windowsIs64Bit);

}  // namespace brinvale
