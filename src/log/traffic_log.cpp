#include "log/traffic_log.h"

#include <cstdio>
#include <mutex>

namespace brinvale {

namespace {

// One writer at a time, so records from the three threads never interleave
// within a line and the location or clock never change under a writer.
std::mutex g_logLock;
std::filesystem::path g_logFolder;
std::filesystem::path g_logBaseName;
bool g_locationSet = false;
std::function<LocalTime()> g_clock;

const char* DirectionTag(int code)
{
    switch (code) {
    case kLogCatToPc: return "[CAT->PC ]";
    case kLogPcToCat: return "[PC ->CAT]";
    case kLogVanToPc: return "[VAN->PC ]";
    case kLogPcToVan: return "[PC ->VAN]";
    default: return nullptr;
    }
}

const char kHexDigits[] = "0123456789ABCDEF";

// The log is written in binary on every platform, with the CR LF that
// Windows text mode would write, so files are identical everywhere.
//
// Info texts carry what the terminal sent (the VAN address). A control byte
// there would drive whatever shows the log (tail, type) and a line end would
// forge a record, so bytes below 0x20 and DEL are written as \xHH, in the
// uppercase hex of the data lines. The backslash is escaped too, so no text
// can pass for an escape. Other bytes stay as they are: a port name may be
// UTF-8 or ANSI text.
std::string InfoText(const char* text)
{
    std::string out;
    for (const char* c = text; c && *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte != 0x7F && byte != '\\') {
            out += *c;
            continue;
        }
        out += "\\x";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0F];
    }
    return out;
}

void EnsureDefaultLocation()
{
    if (g_locationSet)
        return;
    g_logFolder = ExecutablePath().parent_path() / kTrafficLogFolder;
    g_logBaseName = ExecutableBaseName();
    g_locationSet = true;
}

}  // namespace

std::string FormatTrafficRecord(const LocalTime& when, int code, const void* bytes, int length)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d > ", when.hour, when.minute,
                  when.second, when.millisecond);
    std::string line = stamp;

    if (code == kLogInfo) {
        line += "           [0   ] [";
        line += InfoText(static_cast<const char*>(bytes));
        line += "]\r\n";
        return line;
    }

    const char* tag = DirectionTag(code);
    if (!tag)
        return {};
    char head[48];
    std::snprintf(head, sizeof head, "%s [%-4d] [", tag, length);
    line += head;
    const auto* data = static_cast<const unsigned char*>(bytes);
    for (int i = 0; data && i < length; ++i) {
        line += kHexDigits[data[i] >> 4];
        line += kHexDigits[data[i] & 0x0F];
    }
    line += "]\r\n";
    return line;
}

std::filesystem::path TrafficLogFileName(const std::filesystem::path& baseName, const LocalTime& when)
{
    char date[32];
    std::snprintf(date, sizeof date, "_%04d%02d%02d.LOG", when.year, when.month, when.day);
    std::filesystem::path name = baseName;
    name += date;
    return name;
}

void SetTrafficLogLocation(std::filesystem::path folder, std::filesystem::path baseName)
{
    std::lock_guard lock(g_logLock);
    g_logFolder = std::move(folder);
    g_logBaseName = std::move(baseName);
    g_locationSet = true;
}

void SetTrafficLogClock(std::function<LocalTime()> clock)
{
    std::lock_guard lock(g_logLock);
    g_clock = std::move(clock);
}

void WriteTrafficLog(const void* bytes, int code, int length)
{
    std::lock_guard lock(g_logLock);
    EnsureDefaultLocation();

    if (!MakePrivateFolder(g_logFolder))
        return;

    // One reading of the clock for both the time stamp and the file's date,
    // so a record written at midnight lands in the file of its own stamp.
    const LocalTime now = g_clock ? g_clock() : LocalNow();
    const std::string line = FormatTrafficRecord(now, code, bytes, length);
    if (line.empty())
        return;

    AppendToPrivateFile(g_logFolder / TrafficLogFileName(g_logBaseName, now), line);
}

}  // namespace brinvale
