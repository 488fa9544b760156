// The serial device on Linux: a tty driven through termios, with the read
// time-outs of the Windows driver reproduced by poll().
#include "relay/serial_device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/platform.h"
#include "relay/serial_channel.h"
#include "relay/wake_signal.h"

namespace brinvale {

namespace {

using Clock = std::chrono::steady_clock;

struct BaudConstant {
    unsigned rate;
    speed_t constant;
};

// The rates termios can express. A speed text whose rate is not among them
// (14400, 56000, 128000, 256000 and the "PCI_" rows) keeps the rate the
// driver had, as an unknown speed text does.
constexpr std::array<BaudConstant, 11> kBaudConstants{{
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
}};

std::optional<speed_t> SpeedConstant(unsigned rate)
{
    for (const BaudConstant& row : kBaudConstants) {
        if (row.rate == rate)
            return row.constant;
    }
    return std::nullopt;
}

void SetModemLine(int fd, int line, bool on)
{
    // Fails on a pty, which has no modem lines; nothing depends on it.
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

int MillisecondsUntil(Clock::time_point when)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

}  // namespace

struct SerialDevice::Handles {
    int fd = -1;
};

std::string SerialDevicePath(const std::string& port)
{
    return port;
}

SerialDevice::SerialDevice() : m_handles(std::make_unique<Handles>()) {}

SerialDevice::~SerialDevice()
{
    Release();
}

int SerialDevice::Open(const std::string& path)
{
    Release();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kSerialOpenFailed;
    m_handles->fd = fd;

    // Windows opens a COM port without sharing; a lock gives the same "port
    // in use" answer when two programs want one device.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Release();
        return kSerialOpenFailed;
    }
    ioctl(fd, TIOCEXCL);
    return 1;
}

void SerialDevice::Configure(const LineSettings& settings)
{
    const int fd = m_handles->fd;
    if (fd < 0)
        return;
    tcflush(fd, TCIOFLUSH);

    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (settings.baudRate) {
            if (std::optional<speed_t> speed = SpeedConstant(*settings.baudRate)) {
                cfsetispeed(&tio, *speed);
                cfsetospeed(&tio, *speed);
            }
        }
        if (settings.parity) {
            tio.c_cflag &= ~(PARENB | PARODD);
            if (*settings.parity == Parity::Odd)
                tio.c_cflag |= PARENB | PARODD;
            else if (*settings.parity == Parity::Even)
                tio.c_cflag |= PARENB;
        }
        if (settings.dataBits) {
            tio.c_cflag &= ~CSIZE;
            tio.c_cflag |= *settings.dataBits == 7 ? CS7 : CS8;
        }
        if (settings.stopBits) {
            // termios has no one-and-a-half stop bits; that choice keeps one.
            if (*settings.stopBits == StopBits::Two)
                tio.c_cflag |= CSTOPB;
            else
                tio.c_cflag &= ~CSTOPB;
        }
        tcsetattr(fd, TCSANOW, &tio);  // a rejected setting leaves the port as it was
    }
    SetModemLine(fd, TIOCM_RTS, true);
    SetModemLine(fd, TIOCM_DTR, true);
}

bool SerialDevice::Answers() const
{
    // A device that came back is a new file; the old descriptor only ever
    // reports the hang-up, and only a device that answers as a terminal line
    // is really there.
    termios tio{};
    return m_handles->fd >= 0 && tcgetattr(m_handles->fd, &tio) == 0;
}

int SerialDevice::Read(int count, std::uint8_t* dest, const WakeSignal& stop)
{
    const int fd = m_handles->fd;
    if (fd < 0)
        return kSerialReadFailed;

    // The Windows read time-outs: the whole read ends count + 500 ms after it
    // began, and once a byte is in, 100 ms of silence ends it.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(count * kReadTotalMultiplierMs + kReadTotalConstantMs);
    Clock::time_point gapEnd = deadline;
    int got = 0;
    while (got < count) {
        const int waitMs = MillisecondsUntil(std::min(deadline, gapEnd));
        if (waitMs == 0)
            break;
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
        const int ready = poll(waits, 2, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || waits[1].revents)
            return kSerialReadFailed;
        if (ready == 0)
            continue;  // the clock decides at the top of the loop

        const ssize_t n = read(fd, dest + got, static_cast<std::size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
            gapEnd = Clock::now() + std::chrono::milliseconds(kReadIntervalMs);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            // End of file or an I/O error: the device went away.
            return got > 0 ? got : kSerialReadFailed;
        }
    }
    return got;
}

int SerialDevice::Write(const std::uint8_t* data, int length, int giveUpMs, const WakeSignal& stop)
{
    const int fd = m_handles->fd;
    if (fd < 0)
        return 0;

    // The whole write is finished here (the tty drains at line speed with no
    // flow control), so a later write never overtakes it. A line that stops
    // draining (a terminal that takes no more, a driver stuck on a device
    // that went away) is given up at giveUpMs: the write lock it holds would
    // otherwise keep every other writer, and the reopen of a lost line,
    // waiting until Disconnect.
    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + std::chrono::milliseconds(giveUpMs);
    int written = 0;
    while (written < length) {
        const ssize_t n = write(fd, data + written, static_cast<std::size_t>(length - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return 0;
        const int waitMs = MillisecondsUntil(giveUp);
        if (waitMs == 0)
            return 0;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {stop.Fd(), POLLIN, 0}};
        const int ready = poll(waits, 2, waitMs);
        if (ready < 0 && errno != EINTR)
            return 0;
        if (waits[1].revents || (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return 0;
    }
    return Clock::now() - start <= std::chrono::milliseconds(kWriteWaitMs) ? 1 : 0;
}

void SerialDevice::HangUp()
{
    const int fd = m_handles->fd;
    if (fd < 0)
        return;
    SetModemLine(fd, TIOCM_DTR, false);
    tcflush(fd, TCIOFLUSH);
    // Give the terminal time to see DTR drop before the port is let go.
    SleepMilliseconds(100);
}

void SerialDevice::Release()
{
    if (m_handles->fd >= 0) {
        close(m_handles->fd);
        m_handles->fd = -1;
    }
}

unsigned SerialDevice::ReportedBaudRate() const
{
    termios tio{};
    if (m_handles->fd < 0 || tcgetattr(m_handles->fd, &tio) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const BaudConstant& row : kBaudConstants) {
        if (row.constant == speed)
            return row.rate;
    }
    return 0;
}

}  // namespace brinvale
