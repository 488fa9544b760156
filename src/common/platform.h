// Small operating-system services the portable code needs: where the program
// lives, the local time with milliseconds, and a file opened for appending.
// Implemented once per platform (platform_win32.cpp, platform_posix.cpp).
#pragma once

#include <cstdio>
#include <filesystem>

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

// Opens path for binary appending; null when it cannot be opened.
std::FILE* OpenForAppend(const std::filesystem::path& path);

// Sleeps the calling thread.
void SleepMilliseconds(int ms);

}  // namespace brinvale
