// The terminal end of a pty pair: the test holds the master, the gateway
// opens the slave by its path as it would open /dev/ttyUSB0.
#include "support/fake_terminal.h"

#include <gtest/gtest.h>

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
        if (m_master >= 0)
            close(m_master);
        if (m_slave >= 0)
            close(m_slave);
    }

    std::string GatewayPort() const override { return m_path; }

    void Send(const Bytes& bytes) override
    {
        if (m_master < 0)
            return;  // unplugged
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

protected:
    int m_master;
    int m_slave;
    std::string m_path;
};

bool MakePty(int& master, int& slave, std::string& path)
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        return false;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = name;
    return true;
}

// The gateway opens a symbolic link, as a udev rule gives a USB adapter a
// stable name; unplugging closes the pty (the gateway's descriptor hangs up)
// and removes the link, plugging makes a new pty behind the same link.
class PluggableTerminal : public PtyTerminal {
public:
    PluggableTerminal(int master, int slave, std::string ptyPath, std::string link)
        : PtyTerminal(master, slave, std::move(ptyPath)), m_link(std::move(link))
    {
        if (symlink(m_path.c_str(), m_link.c_str()) != 0)
            ADD_FAILURE() << "cannot link " << m_link << " to " << m_path;
    }
    ~PluggableTerminal() override { unlink(m_link.c_str()); }

    std::string GatewayPort() const override { return m_link; }

    void Unplug() override
    {
        unlink(m_link.c_str());
        if (m_slave >= 0)
            close(m_slave);
        if (m_master >= 0)
            close(m_master);
        m_slave = -1;
        m_master = -1;
    }

    bool Plug() override
    {
        Unplug();
        if (!MakePty(m_master, m_slave, m_path))
            return false;
        return symlink(m_path.c_str(), m_link.c_str()) == 0;
    }

private:
    std::string m_link;
};

}  // namespace

std::unique_ptr<FakeTerminal> FakeTerminal::Create()
{
    int master = -1;
    int slave = -1;
    std::string path;
    if (!MakePty(master, slave, path))
        return nullptr;
    return std::make_unique<PtyTerminal>(master, slave, path);
}

std::unique_ptr<FakeTerminal> FakeTerminal::CreatePluggable()
{
    static int made = 0;
    int master = -1;
    int slave = -1;
    std::string path;
    if (!MakePty(master, slave, path))
        return nullptr;
    // Short, so log lines carry the whole name.
    std::string link = "/tmp/brv-" + std::to_string(getpid()) + "-" + std::to_string(++made);
    unlink(link.c_str());
    return std::make_unique<PluggableTerminal>(master, slave, path, link);
}

}  // namespace brinvale::test
