// brinvale-relay started as a technician starts it, for the native tests of
// the headless gateway: copied into a folder of the test's own (so that its
// CATLOG lands there), its stdout read line by line, stopped by a signal.
// The test target defines BRINVALE_RELAY_PROGRAM as the built program's path.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace brinvale::test {

class RelayProgramProcess {
public:
    // Stalled: stdout is a pipe that is already full and that nobody reads,
    // as when the program's output goes to a reader that hangs.
    enum class Stdout { Read, Stalled };

    RelayProgramProcess(const std::filesystem::path& folder, std::vector<std::string> args,
                        Stdout output = Stdout::Read)
    {
        const std::filesystem::path program = folder / "brinvale-relay";
        std::filesystem::copy_file(BRINVALE_RELAY_PROGRAM, program,
                                   std::filesystem::copy_options::overwrite_existing);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        if (output == Stdout::Stalled)
            FillPipe(out[1]);
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
    ~RelayProgramProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
    }
    RelayProgramProcess(const RelayProgramProcess&) = delete;
    RelayProgramProcess& operator=(const RelayProgramProcess&) = delete;

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

    // Exit code, or -1 when it did not end within the time (or ended by a
    // signal).
    int WaitForExit(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            usleep(10000);
        }
    }

    void Signal(int signal) { kill(m_pid, signal); }
    const std::string& Output() const { return m_output; }

private:
    static void FillPipe(int fd)
    {
        // Non-blocking only while filling: the program gets the same pipe.
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        const std::string filler(4096, '-');
        while (write(fd, filler.data(), filler.size()) > 0) {
        }
        while (write(fd, filler.data(), 1) > 0) {
        }
        fcntl(fd, F_SETFL, flags);
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

}  // namespace brinvale::test
