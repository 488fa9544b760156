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

// The log is opened in binary mode on every platform and writes the CR LF
// that Windows text mode would, so files are identical everywhere. A line
// end inside an info text (the VAN address comes from the terminal) would
// forge a record of its own; it is shown as '?'.
std::string InfoText(const char* text)
{
    std::string out = text ? text : "";
    for (char& c : out) {
        if (c == '\r' || c == '\n')
            c = '?';
    }
    return out;
}

void EnsureDefaultLocation()
{
    if (g_locationSet)
        return;
    g_logFolder = ExecutablePath().parent_path() / "CATLOG";
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
    static const char kHexDigits[] = "0123456789ABCDEF";
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
