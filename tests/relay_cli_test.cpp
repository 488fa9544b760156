// brinvale-relay as a technician runs it: a real pty, a loopback VAN, and
// SIGTERM to stop it.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/relay_rig.h"

extern char** environ;

namespace brinvale::test {
namespace {

// The program under test, copied into a folder of its own so that its CATLOG
// lands there.
class RelayProgram {
public:
    RelayProgram(const std::filesystem::path& folder, std::vector<std::string> args) : m_folder(folder)
    {
        const std::filesystem::path program = folder / "brinvale-relay";
        std::filesystem::copy_file(BRINVALE_RELAY_PROGRAM, program,
                                   std::filesystem::copy_options::overwrite_existing);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> argv{program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& arg : argv)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, program.c_str(), &actions, nullptr, pointers.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
    }
    ~RelayProgram()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
    }

    // Reads stdout until the line appears or the time is up.
    bool WaitForLine(const std::string& line, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_output.find(line + "\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buffer[1024];
            const ssize_t n = read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                return m_output.find(line + "\n") != std::string::npos;
            m_output.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    // Exit code, or -1 when it did not end within the time.
    int WaitForExit(int timeoutMs)
    {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

    void Signal(int signal) { kill(m_pid, signal); }
    const std::string& Output() const { return m_output; }

private:
    std::filesystem::path m_folder;
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

TEST(RelayProgram, PortThatCannotBeOpenedExitsWithOne)
{
    RelayProgram relay(FreshTestFolder("cli-fail"), {"--port", "/dev/brinvale-no-such-port"});
    EXPECT_TRUE(relay.WaitForLine("transfer: Serial Open FAIL (error)", 3000)) << relay.Output();
    EXPECT_EQ(relay.WaitForExit(3000), 1);
}

TEST(RelayProgram, RelaysAPaymentAndStopsCleanlyOnSigterm)
{
    const std::filesystem::path folder = FreshTestFolder("cli-payment");
    auto terminal = FakeTerminal::Create();
    ASSERT_TRUE(terminal);
    FakeVan van({ToBytes("HELLO"), false});
    RelayProgram relay(folder, {"--port", terminal->GatewayPort(), "--speed", "115200", "--log"});
    ASSERT_TRUE(relay.WaitForLine("link: CAT : 연결 | VAN : 비연결", 3000)) << relay.Output();

    terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(terminal->Receive(5, 4000)), Hex(ToBytes("HELLO")));
    terminal->Send(ToBytes("PAY"));
    EXPECT_EQ(Hex(van.WaitReceived(3, 3000)), Hex(ToBytes("PAY")));
    EXPECT_TRUE(relay.WaitForLine("progress: PC->VAN", 2000));
    EXPECT_TRUE(relay.WaitForLine("link: CAT : 연결 | VAN : 연결", 2000));

    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.WaitForExit(4000), 0) << relay.Output();
    EXPECT_TRUE(van.WaitPeerClosed(2000));
    EXPECT_TRUE(terminal->ReceiveFor(300).empty()) << "the line closed before the VAN link";
    EXPECT_TRUE(relay.WaitForLine("link: CAT : 비연결 | VAN : 비연결", 500)) << relay.Output();

    const std::vector<std::string> records = LogRecords(folder / "CATLOG");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front(), "           [0   ] [Serial Open OK (Port : " + terminal->GatewayPort().substr(0, 31) +
                                   ", Baudrate : 115200)]");
    EXPECT_EQ(records.back(), "           [0   ] [Socket Disconnect]");
    const auto logs = std::distance(std::filesystem::directory_iterator(folder / "CATLOG"),
                                    std::filesystem::directory_iterator());
    EXPECT_EQ(logs, 1);
    EXPECT_EQ(std::filesystem::directory_iterator(folder / "CATLOG")->path().filename().string().rfind(
                  "brinvale-relay_", 0),
              0u);
}

}  // namespace
}  // namespace brinvale::test
