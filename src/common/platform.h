// Small operating-system services the portable code needs: where the program
// lives, the local time with milliseconds, and private files to append to.
// Implemented once per platform (platform_win32.cpp, platform_posix.cpp).
#pragma once

#include <filesystem>
#include <string_view>

namespace brinvale {

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Full path of the running program file.
std::filesystem::path ExecutablePath();

// The program's base name: its file name without the extension on Windows
// ("OstrelBrinvale.exe" gives "OstrelBrinvale"); on Linux the file name as is.
std::filesystem::path ExecutableBaseName();

LocalTime LocalNow();

// Makes the folder path (its parent must exist) for files that only the
// program's user may read: mode 0700 on Linux whatever the umask; on Windows
// it inherits the permissions of the folder it is in (the install folder's).
// A folder that exists already is left as it is. False when path cannot be
// made and nothing is there.
bool MakePrivateFolder(const std::filesystem::path& path);

// Appends bytes to the file path in binary. A file made here is readable and
// writable by the program's user only (0600 on Linux whatever the umask); on
// Linux a link, or anything but a plain file, at path is refused. False when
// the bytes were not all written.
bool AppendToPrivateFile(const std::filesystem::path& path, std::string_view bytes);

// Sleeps the calling thread.
void SleepMilliseconds(int ms);

}  // namespace brinvale
