// The terminal end of a pty pair: the test holds the master, the gateway
// opens the slave by its path as it would open /dev/ttyUSB0.
#include "support/fake_terminal.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace brinvale::test {

namespace {

class PtyTerminal : public FakeTerminal {
public:
    PtyTerminal(int master, int slave, std::string path)
        : m_master(master), m_slave(slave), m_path(std::move(path))
    {
    }
    ~PtyTerminal() override
    {
        close(m_master);
        if (m_slave >= 0)
            close(m_slave);
    }

    std::string GatewayPort() const override { return m_path; }

    void Send(const Bytes& bytes) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                usleep(1000);
        }
    }

    Bytes Receive(std::size_t count, int timeoutMs) override
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        Bytes got;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            std::uint8_t buffer[4096];
            const std::size_t want = std::min(sizeof buffer, count - got.size());
            const ssize_t n = read(m_master, buffer, want);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            else
                usleep(1000);  // no slave open at the moment
        }
        return got;
    }

    // Lets a test pull the line away, as a USB adapter being unplugged.
    void Vanish()
    {
        close(m_slave);
        m_slave = -1;
    }

private:
    int m_master;
    int m_slave;
    std::string m_path;
};

}  // namespace

std::unique_ptr<FakeTerminal> FakeTerminal::Create()
{
    int master = -1;
    int slave = -1;
    char path[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, path, &raw, nullptr) != 0)
        return nullptr;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return std::make_unique<PtyTerminal>(master, slave, path);
}

}  // namespace brinvale::test
