// The batch scripts through which the program replaces and removes its own
// files: a running program file can be neither replaced nor deleted, so the
// program writes a script, starts it hidden and ends; the script retries
// until the files are free.
#pragma once

#include <optional>
#include <string>

namespace brinvale {

// A script holds at most this many bytes; a longer one is never written, so
// no cut-off script ever runs.
constexpr std::size_t kMaxScriptText = 1023;

// The texts as composed, each line ending CR LF (":END" with none).
std::optional<std::string> UpdateScriptText(const std::string& updateFile, const std::string& installedProgram,
                                            const std::string& startCommand);
std::optional<std::string> RemovalScriptText(const std::string& baseName, const std::string& installFolderWithSlash);
std::optional<std::string> OldCopyRemovalScriptText(const std::string& baseName);
std::optional<std::string> RestartScriptText(const std::string& installFolder, const std::string& programFileName);

// The bytes on disk: written in text mode, every LF of the text becomes CR LF,
// so each line ends CR CR LF.
std::string ScriptFileBytes(const std::string& text);

}  // namespace brinvale
