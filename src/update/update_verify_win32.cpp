// The checks a downloaded update passes before it may replace the installed
// program. The rules themselves are portable (program_image.h,
// version_block.h, version.h, signature.h); here they meet the running
// Windows and the platform's cryptography.
#include <windows.h>

#include "common/file_version.h"
#include "update/program_image.h"
#include "update/signature.h"
#include "update/update_server.h"
#include "update/update_verify.h"
#include "update/version.h"
#include "update/version_block.h"

namespace brinvale {

namespace {

// One code path for both programs, so the tested 64-bit one runs the very
// rule the 32-bit one lives by: a 32-bit program sees the machine's own
// processor only here (GetSystemInfo would answer for the x86 emulation it
// runs in on 64-bit Windows).
bool WindowsIs64Bit()
{
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

bool IsSignedByRelease(std::span<const std::uint8_t> bytes, const std::optional<std::vector<std::uint8_t>>& signature)
{
    const std::optional<P256PublicKey> key = UpdatePublicKey();
    if (!key || !signature)
        return false;
    const std::optional<P256Signature> numbers = P256SignatureFromDer(*signature);
    return numbers && VerifyP256Signature(bytes, *numbers, *key);
}

}  // namespace

bool IsInstallableUpdate(std::span<const std::uint8_t> bytes,
                         const std::optional<std::vector<std::uint8_t>>& signature, std::string_view version)
{
    // The signature first: nothing else reads a file the release did not sign.
    if (UpdatesAreSigned() && !IsSignedByRelease(bytes, signature))
        return false;
    const std::optional<ProgramImage> image = ReadProgramImage(bytes);
    if (!image || !MachineRunsHere(image->machine, WindowsIs64Bit()))
        return false;
    const std::optional<std::string> fileVersion = FileVersionInBlock(image->versionResource);
    return fileVersion && IsWantedUpdateVersion(*fileVersion, version, ReadFileVersionText(32));
}

}  // namespace brinvale
