// The serial line on Linux: a tty device driven through termios, with the
// read time-outs of the Windows driver reproduced by poll().
#include "relay/serial_channel.h"

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
#include "relay/relay_state.h"

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

struct CSerialCommCls::Port {
    int fd = -1;
};

std::string SerialDevicePath(const std::string& port)
{
    return port;
}

CSerialCommCls::CSerialCommCls(std::string port, std::string speed, std::string parity,
                               std::string dataBits, std::string stopBits)
    : m_port(std::make_unique<Port>()),
      m_strPort(std::move(port)),
      m_strSpeed(std::move(speed)),
      m_strParity(std::move(parity)),
      m_strDataBits(std::move(dataBits)),
      m_strStopBits(std::move(stopBits)),
      m_strDevicePath(SerialDevicePath(m_strPort))
{
}

CSerialCommCls::~CSerialCommCls()
{
    ReleaseHandles();
}

int CSerialCommCls::Open()
{
    std::lock_guard lock(m_writeLock);
    return OpenLocked();
}

int CSerialCommCls::Reopen()
{
    std::lock_guard lock(m_writeLock);
    // A device that came back is a new file; the old descriptor only ever
    // reports the hang-up.
    ReleaseHandlesLocked();
    const int result = OpenLocked();
    // Only a device that answers as a terminal line is back.
    termios tio{};
    if (result > 0 && tcgetattr(m_port->fd, &tio) != 0) {
        ReleaseHandlesLocked();
        return kSerialOpenFailed;
    }
    return result;
}

int CSerialCommCls::OpenLocked()
{
    ReleaseHandlesLocked();
    const int fd = open(m_strDevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kSerialOpenFailed;
    m_port->fd = fd;

    // Windows opens a COM port without sharing; a lock gives the same "port
    // in use" answer when two programs want one device.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ReleaseHandlesLocked();
        return kSerialOpenFailed;
    }
    ioctl(fd, TIOCEXCL);

    m_bOpen = true;
    SetupPort();
    SetModemLine(fd, TIOCM_DTR, true);
    return 1;
}

void CSerialCommCls::SetupPort()
{
    if (!m_bOpen)
        return;
    const int fd = m_port->fd;
    tcflush(fd, TCIOFLUSH);

    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    const LineSettings settings = ParseLineSettings(m_strSpeed, m_strParity, m_strDataBits, m_strStopBits);
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
    SetModemLine(fd, TIOCM_RTS, true);
}

int CSerialCommCls::Read(int count, std::uint8_t* dest)
{
    count = std::clamp(count, 0, kMaxSerialRead);
    const int fd = m_port->fd;
    WakeSignal& stop = RelayStopSignal();
    if (fd < 0 || stop.IsRaised())
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
            return got > 0 ? got : kSerialReadFailed;
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

int CSerialCommCls::Write(const std::uint8_t* data, int length)
{
    std::lock_guard lock(m_writeLock);
    const int fd = m_port->fd;
    if (fd < 0 || length < 0)
        return 0;

    // The whole write is finished here (the tty drains at line speed with no
    // flow control), so a later write never overtakes it; only the relay
    // stopping abandons it.
    const Clock::time_point start = Clock::now();
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
        pollfd waits[2] = {{fd, POLLOUT, 0}, {RelayStopSignal().Fd(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR)
            return 0;
        if (waits[1].revents || (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return 0;
    }
    return Clock::now() - start <= std::chrono::milliseconds(kWriteWaitMs) ? 1 : 0;
}

void CSerialCommCls::Close()
{
    if (m_bOpen) {
        m_bOpen = false;
        SetModemLine(m_port->fd, TIOCM_DTR, false);
        tcflush(m_port->fd, TCIOFLUSH);
    }
    SleepMilliseconds(100);
    ReleaseHandles();
}

void CSerialCommCls::ReleaseHandles()
{
    std::lock_guard lock(m_writeLock);
    ReleaseHandlesLocked();
}

void CSerialCommCls::ReleaseHandlesLocked()
{
    if (m_port->fd >= 0) {
        close(m_port->fd);
        m_port->fd = -1;
    }
    m_bOpen = false;
}

unsigned CSerialCommCls::ReportedBaudRate() const
{
    termios tio{};
    if (!m_bOpen || tcgetattr(m_port->fd, &tio) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const BaudConstant& row : kBaudConstants) {
        if (row.constant == speed)
            return row.rate;
    }
    return 0;
}

}  // namespace brinvale
