// The daily traffic log: one text file per day in CATLOG beside the program,
// one line per relayed unit or channel event.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/platform.h"

namespace brinvale {

// The log's folder beside the program: the settings show it, the removal
// scripts delete it.
inline constexpr const char* kTrafficLogFolder = "CATLOG";

enum LogCode : int {
    kLogInfo = 1,
    kLogCatToPc = 2,
    kLogPcToCat = 3,
    kLogVanToPc = 4,
    kLogPcToVan = 5,
};

// Appends one record to the day's file. For kLogInfo, bytes is a
// NUL-terminated text and length is not used. Failures lose the record and
// are not reported. Records from several threads never interleave.
void WriteTrafficLog(const void* bytes, int code, int length);

// Convenience for info lines.
inline void WriteTrafficLogInfo(const char* text) { WriteTrafficLog(text, kLogInfo, 0); }

// The whole line of one record, line end included (CR LF, as Windows text
// mode stores it).
std::string FormatTrafficRecord(const LocalTime& when, int code, const void* bytes, int length);

// "P_20240303.LOG" for base name P on 3 March 2024.
std::filesystem::path TrafficLogFileName(const std::filesystem::path& baseName, const LocalTime& when);

// Where the log goes: CATLOG beside the program, named after its base name,
// unless set otherwise (the headless relay and the tests do).
void SetTrafficLogLocation(std::filesystem::path folder, std::filesystem::path baseName);

// The clock behind the time stamps and the file date; tests inject their own.
void SetTrafficLogClock(std::function<LocalTime()> clock);

}  // namespace brinvale
