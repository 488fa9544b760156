#include "update/scripts.h"

#include <cstdarg>
#include <cstdio>

namespace brinvale {

namespace {

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

}  // namespace

std::optional<std::string> UpdateScriptText(const std::string& updateFile, const std::string& installedProgram,
                                            const std::string& startCommand)
{
    return Compose("IF NOT EXIST \"%s\" goto KError\t\r\n"
                   ":Repeat      \r\n"
                   "del /f /s /q \"%s\"    \r\n"
                   "if exist \"%s\" goto Repeat\t\t\r\n"
                   "copy /y \"%s\" \"%s\"   \r\n"
                   "@ start %s %%1\t\r\n"
                   ":KError\t\r\n"
                   "del /f /s /q \"%s\"    \r\n"
                   "del /f /s /q \"%s\"    \r\n"
                   ":END",
                   updateFile.c_str(), installedProgram.c_str(), installedProgram.c_str(), updateFile.c_str(),
                   installedProgram.c_str(), startCommand.c_str(), updateFile.c_str(), "update_brinvale.bat");
}

std::optional<std::string> RemovalScriptText(const std::string& baseName, const std::string& installFolderWithSlash)
{
    const char* b = baseName.c_str();
    const char* i = installFolderWithSlash.c_str();
    const char* l = "CATLOG";
    return Compose(":Repeat      \r\n"
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
                   "del /s /q %s     \r\n",
                   b, b, i, b, i, b, l, i, l, b, b, l, i, b, i, b, i, l, "killfileall.bat");
}

std::optional<std::string> OldCopyRemovalScriptText(const std::string& baseName)
{
    const char* b = baseName.c_str();
    return Compose(":Repeat      \r\n"
                   "del /f /s /q \"%s.exe\" \r\n"
                   "del /f /s /q \"%s.ini\" \r\n"
                   "rmdir /s /q \"%s\"      \r\n"
                   "if exist \"%s.exe\" goto Repeat\t\t\r\n"
                   "if exist \"%s.ini\" goto Repeat\t\t\r\n"
                   "if exist \"%s\" goto Repeat\t\t\r\n"
                   "del /s /q %s     \r\n",
                   b, b, "CATLOG", b, b, "CATLOG", "killfile.bat");
}

std::optional<std::string> RestartScriptText(const std::string& installFolder, const std::string& programFileName)
{
    return Compose("@ start %s\\\"%s\" %%1\t\r\n"
                   ":Repeat      \r\n"
                   "del /f /s /q \"%s\"    \r\n"
                   "if exist \"%s\" goto Repeat\t\t\r\n",
                   installFolder.c_str(), programFileName.c_str(), "runextern.bat", "runextern.bat");
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
