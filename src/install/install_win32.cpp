// The program installs itself: started from anywhere but the install folder,
// it copies itself there, leaves a shortcut on the desktop, starts the
// installed copy and ends.
#include "install/install.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "common/platform.h"
#include "common/program_paths.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "install/desktop_shortcut.h"
#include "install/install_folder.h"
#include "install/removal.h"
#include "install/script_files.h"
#include "install/scripts.h"

namespace brinvale {

namespace {

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::wstring& path)
{
    const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.Get(), &info))
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The same file, whatever form the paths take (letter case, short names,
// another drive mapping): comparing the texts would take such a start for one
// from elsewhere, copy the program onto itself and have the old-copy script
// delete the installed program.
bool IsSameFile(const std::wstring& a, const std::wstring& b)
{
    const std::optional<FileIdentity> first = IdentityOf(a);
    const std::optional<FileIdentity> second = IdentityOf(b);
    return first && second && *first == *second;
}

class File {
public:
    explicit File(const std::wstring& path)
        : m_file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }

    // The next bytes, up to size; empty at the end or on failure.
    std::vector<char> Read(DWORD size)
    {
        std::vector<char> bytes(size);
        DWORD got = 0;
        if (!m_file || !ReadFile(m_file.Get(), bytes.data(), size, &got, nullptr))
            got = 0;
        bytes.resize(got);
        return bytes;
    }
    bool IsOpen() const { return static_cast<bool>(m_file); }

private:
    UniqueHandle m_file;
};

// The copy arrived whole: the same bytes, to the last. A copy cut short (a
// full disk) or never made (the installed program in use) must not cost the
// shop the program it started.
bool HaveSameBytes(const std::wstring& a, const std::wstring& b)
{
    File first(a);
    File second(b);
    if (!first.IsOpen() || !second.IsOpen())
        return false;
    for (;;) {
        const std::vector<char> piece = first.Read(1 << 16);
        if (piece != second.Read(1 << 16))
            return false;
        if (piece.empty())
            return true;
    }
}

// The installed program is started, updated and removed by scripts that name
// it: a name cmd would read otherwise, or one the ANSI code page cannot hold,
// is not installed at all (the program runs where it was started).
bool NameFitsScripts()
{
    const std::wstring name = ExecutablePath().filename().wstring();
    return FromAnsi(g_paths.szProgramFileName) == name &&
           RestartScriptText(g_paths.szInstallFolder, g_paths.szProgramFileName).has_value();
}

// Starts the installed copy once this one has ended.
bool WriteRestartScript()
{
    const std::optional<std::string> text = RestartScriptText(g_paths.szInstallFolder, g_paths.szProgramFileName);
    return text && WriteAndStartScript(kRestartScriptName, *text);
}

}  // namespace

void InstallIfNeeded(AppShell& shell)
{
    // A copy that is ending (a second copy, "/uninstall") only ends: were it
    // to install itself, it would take the Run value from the copy that runs.
    if (shell.IsQuitting() || !NameFitsScripts())
        return;
    const std::string desktop = DesktopFolder();
    const std::string shortcutName = ShortcutFileName();
    const std::wstring running = ExecutablePath().wstring();

    if (!PrepareInstallFolder(FromAnsi(g_paths.szInstallFolder)))
        return;
    const std::string installed = InstalledProgramPath();
    if (desktop.empty() || !IsDirectory(FromAnsi(desktop)))
        return;
    if (!Exists(FromAnsi(desktop + "\\" + shortcutName)))
        CreateDesktopShortcut(shell, installed, desktop, shortcutName);
    if (IsSameFile(running, FromAnsi(installed)))
        return;

    // Nothing is deleted and the Run value stays until the installed copy is
    // whole and on its way: otherwise this copy runs on where it is.
    CopyFileW(running.c_str(), FromAnsi(installed).c_str(), FALSE);
    if (!HaveSameBytes(running, FromAnsi(installed)) || !WriteRestartScript())
        return;
    // A copy at a drive's root stays: its removal script would sweep the drive.
    WriteOldCopyRemovalScript();
    UnregisterAndQuit(shell);
}

}  // namespace brinvale
