#include "common/platform.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brinvale {

namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool IsPlainFile(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

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

bool MakePrivateFolder(const std::filesystem::path& path)
{
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool AppendToPrivateFile(const std::filesystem::path& path, std::string_view bytes)
{
    // The mode is given here, not left to the umask: the log holds card data.
    // A link planted in a shared folder is not followed, and a FIFO fails to
    // open (O_NONBLOCK) instead of holding the writer until someone reads it.
    const Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                               0600));
    if (file.Get() < 0 || !IsPlainFile(file.Get()))
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(file.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void SleepMilliseconds(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace brinvale
