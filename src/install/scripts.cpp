#include "install/scripts.h"

#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#include "log/traffic_log.h"

namespace brinvale {

namespace {

// Where a script tries again until a file is free. Between two tries it
// waits about a second instead of keeping a core busy for as long as the
// file is held: ping sends its second echo a second after the first
// ("timeout" fails in a hidden script, which has no console input). The
// first try comes at once, since the file is often free by then: only a
// retry goes through the wait. Ping by its full path: cmd looks for a bare
// command in the working directory first, and an old copy is removed from
// a download folder, where a file named ping.bat may lie.
const std::string kRetryLoop = "goto Try\r\n"
                               ":Repeat      \r\n"
                               "\"%%SystemRoot%%\\System32\\ping.exe\" -n 2 127.0.0.1 >nul\r\n"
                               ":Try\r\n";

// The trailing blanks and tabs of every line are part of the scripts as
// they have always been written; keep them.
std::optional<std::string> Compose(const char* format, ...)
{
    char text[kMaxScriptText + 1];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || static_cast<std::size_t>(length) > kMaxScriptText)
        return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

bool AllSafe(std::initializer_list<std::string_view> texts)
{
    for (std::string_view text : texts) {
        if (!IsSafeScriptText(text))
            return false;
    }
    return true;
}

}  // namespace

bool IsSafeScriptText(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\"%&^|<>?*").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

bool IsDriveRoot(std::string_view folder)
{
    if (folder.starts_with("\\\\?\\"))
        folder.remove_prefix(4);
    while (folder.ends_with('\\'))
        folder.remove_suffix(1);
    if (folder.size() == 2 && folder[1] == ':')
        return true;
    // \\server\share: a root when nothing follows the share's name.
    if (folder.starts_with("\\\\")) {
        const std::size_t share = folder.find('\\', 2);
        return share == std::string_view::npos || folder.find('\\', share + 1) == std::string_view::npos;
    }
    return folder.empty();
}

std::string UpdateBackupPath(const std::string& installedProgram)
{
    return installedProgram + ".old";
}

std::optional<std::string> UpdateScriptText(const std::string& updateFile, const std::string& installFolder,
                                            const std::string& programFileName)
{
    if (!AllSafe({updateFile, installFolder, programFileName}))
        return std::nullopt;
    const std::string installed = installFolder + "\\" + programFileName;
    const std::string start = installFolder + "\\\"" + programFileName + "\"";
    const std::string backup = UpdateBackupPath(installed);
    // "move" rather than a copy: on the same drive it is a rename, so the
    // program in place is always whole, and it is the very file that was
    // checked.
    const std::string format = "IF NOT EXIST \"%s\" goto KError\t\r\n" + kRetryLoop +
                               "del /f /s /q \"%s\"    \r\n"
                               "if exist \"%s\" goto Repeat\t\t\r\n"
                               "move /y \"%s\" \"%s\"   \r\n"
                               "if not exist \"%s\" move /y \"%s\" \"%s\"\r\n"
                               "@ start %s %%1\t\r\n"
                               ":KError\t\r\n"
                               "del /f /s /q \"%s\"    \r\n"
                               "del /f /s /q \"%s\"    \r\n"
                               "del /f /s /q \"%s\"    \r\n"
                               ":END";
    return Compose(format.c_str(), updateFile.c_str(), installed.c_str(), installed.c_str(), updateFile.c_str(),
                   installed.c_str(), installed.c_str(), backup.c_str(), installed.c_str(), start.c_str(),
                   updateFile.c_str(), backup.c_str(), kUpdateScriptName);
}

std::optional<std::string> RemovalScriptText(const std::string& baseName, const std::string& installFolderWithSlash)
{
    if (!AllSafe({baseName, installFolderWithSlash}))
        return std::nullopt;
    const char* b = baseName.c_str();
    const char* i = installFolderWithSlash.c_str();
    const char* l = kTrafficLogFolder;
    const std::string format = kRetryLoop +
                               "del /f /s /q \"%s.exe\"    \r\n"
                               "del /f /s /q \"%s.ini\"    \r\n"
                               "del /f /s /q \"%s%s.exe\"\t\r\n"
                               "del /f /s /q \"%s%s.ini\"\t\r\n"
                               "rmdir /s /q \"%s\"\t\t\r\n"
                               "rmdir /s /q \"%s%s\"\t\t\r\n"
                               "if exist \"%s.exe\" goto Repeat\t\t\r\n"
                               "if exist \"%s.ini\" goto Repeat\t\t\r\n"
                               "if exist \"%s\" goto Repeat\t\t\r\n"
                               "if exist \"%s%s.exe\" goto Repeat \r\n"
                               "if exist \"%s%s.ini\" goto Repeat \r\n"
                               "if exist \"%s%s\" goto Repeat \r\n"
                               "del /s /q %s     \r\n";
    return Compose(format.c_str(), b, b, i, b, i, b, l, i, l, b, b, l, i, b, i, b, i, l, kRemovalScriptName);
}

std::optional<std::string> OldCopyRemovalScriptText(const std::string& baseName)
{
    if (!AllSafe({baseName}))
        return std::nullopt;
    const char* b = baseName.c_str();
    const std::string format = kRetryLoop +
                               "del /f /s /q \"%s.exe\" \r\n"
                               "del /f /s /q \"%s.ini\" \r\n"
                               "rmdir /s /q \"%s\"      \r\n"
                               "if exist \"%s.exe\" goto Repeat\t\t\r\n"
                               "if exist \"%s.ini\" goto Repeat\t\t\r\n"
                               "if exist \"%s\" goto Repeat\t\t\r\n"
                               "del /s /q %s     \r\n";
    return Compose(format.c_str(), b, b, kTrafficLogFolder, b, b, kTrafficLogFolder, kOldCopyRemovalScriptName);
}

std::optional<std::string> RestartScriptText(const std::string& installFolder, const std::string& programFileName)
{
    if (!AllSafe({installFolder, programFileName}))
        return std::nullopt;
    const std::string format = "@ start %s\\\"%s\" %%1\t\r\n" + kRetryLoop +
                               "del /f /s /q \"%s\"    \r\n"
                               "if exist \"%s\" goto Repeat\t\t\r\n";
    return Compose(format.c_str(), installFolder.c_str(), programFileName.c_str(), kRestartScriptName,
                   kRestartScriptName);
}

std::string ScriptFileBytes(const std::string& text)
{
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

}  // namespace brinvale
