#include "common/platform.h"

#include <climits>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace brinvale {

std::filesystem::path ExecutablePath()
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("brinvale-relay") : path;
}

std::filesystem::path ExecutableBaseName()
{
    // Linux programs carry no extension to strip.
    return ExecutablePath().filename();
}

LocalTime LocalNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

std::FILE* OpenForAppend(const std::filesystem::path& path)
{
    return std::fopen(path.c_str(), "ab");
}

void SleepMilliseconds(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace brinvale
