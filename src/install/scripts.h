// The batch scripts through which the program replaces and removes its own
// files: a running program file can be neither replaced nor deleted, so the
// program writes a script, starts it hidden and ends; the script retries
// until the files are free.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brinvale {

// Each script's file name, which is also how the script deletes itself at
// its end: written once here, for the text and for the file alike.
inline constexpr const char* kUpdateScriptName = "update_brinvale.bat";
inline constexpr const char* kRemovalScriptName = "killfileall.bat";
inline constexpr const char* kOldCopyRemovalScriptName = "killfile.bat";
inline constexpr const char* kRestartScriptName = "runextern.bat";

// A script holds at most this many bytes; a longer one is never written, so
// no cut-off script ever runs.
constexpr std::size_t kMaxScriptText = 1023;

// True for a text that cmd reads as written: no quote, no character that
// expands, redirects, chains or escapes (% & ^ | < >), no wildcard (a name
// the ANSI code page could not hold turns into '?', and "del /s" would take
// every file it matches), no control character. A script takes only such
// texts.
bool IsSafeScriptText(std::string_view text);

// True for a folder that is a drive's or a share's root ("C:\", "\\pc\till\"):
// the removal scripts delete by bare names with "/s", which there would reach
// every folder of the drive.
bool IsDriveRoot(std::string_view folder);

// The update script keeps the installed program until the new one is in
// place: it waits for the program to end, moves the checked update file into
// its place, and puts the copy kept beside it (the backup) back when that
// did not work. The backup is the installed program followed by ".old".
std::string UpdateBackupPath(const std::string& installedProgram);

// The texts as composed, each line ending CR LF (":END" with none); nullopt
// when a text is unsafe for a script or the script would not fit.
std::optional<std::string> UpdateScriptText(const std::string& updateFile, const std::string& installFolder,
                                            const std::string& programFileName);
std::optional<std::string> RemovalScriptText(const std::string& baseName, const std::string& installFolderWithSlash);
std::optional<std::string> OldCopyRemovalScriptText(const std::string& baseName);
std::optional<std::string> RestartScriptText(const std::string& installFolder, const std::string& programFileName);

// The bytes on disk: written in text mode, every LF of the text becomes CR LF,
// so each line ends CR CR LF.
std::string ScriptFileBytes(const std::string& text);

}  // namespace brinvale
