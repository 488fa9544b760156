// How busy the test process is: a pump left spinning on a dead link or line
// uses a whole core, an idle relay next to nothing.
#pragma once

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

namespace brinvale::test {

// CPU time of the whole process, every thread together.
inline double ProcessCpuSeconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

// The share of one core the process used while the caller slept for ms.
inline double CpuShareWhileIdle(int ms)
{
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    return (ProcessCpuSeconds() - cpuBefore) / wall.count();
}

}  // namespace brinvale::test
