// brinvale-relay: the gateway without windows, for Linux POS and kiosk PCs.
//
//   brinvale-relay --port DEVICE [--speed RATE] [--log] [--log-dir DIR]
//
// Relays between the card terminal on DEVICE and the VAN the terminal asks
// for, until SIGINT or SIGTERM, and prints the status outputs on stdout.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "log/traffic_log.h"
#include "relay/relay.h"
#include "relay/serial_channel.h"
#include "relay/wake_signal.h"

using namespace brinvale;

namespace {

// One line per output. An output that repeats the text its control already
// shows is not printed again: a window would show no change either, and the
// pump refreshes the link status twice a second.
//
// The lines go out on a thread of their own: a stdout that nobody reads (a
// full pipe, a stopped terminal) holds up that thread alone, never a pump and
// never the stop. While it is held, the oldest lines give way to new ones, so
// a reader that comes back finds the current state.
class ConsoleSink : public StatusSink {
public:
    ConsoleSink() : m_writer(&ConsoleSink::WriteLines, this) {}
    ~ConsoleSink() override { Finish(); }

    void OnLinkStatus(std::string_view text) override { Print(m_link, "link", std::string(text)); }
    void OnProgressText(std::string_view text) override { Print(m_progress, "progress", std::string(text)); }
    void OnTransferState(std::string_view text, Colour colour) override
    {
        std::string line(text);
        line += colour == kErrorColour ? " (error)" : " (ok)";
        Print(m_transfer, "transfer", line.front() == ' ' ? line.substr(1) : line);
    }

    // Writes what is still queued, for at most kFinishMs, and ends the writer.
    void Finish()
    {
        {
            std::lock_guard lock(m_lock);
            if (m_finishing)
                return;
            m_finishing = true;
            m_deadline = Clock::now() + std::chrono::milliseconds(kFinishMs);
        }
        m_changed.notify_all();
        m_finish.Raise();
        m_writer.join();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxQueued = 256;
    static constexpr int kFinishMs = 500;

    void Print(std::string& last, const char* what, const std::string& text)
    {
        std::lock_guard lock(m_lock);
        if (text == last)
            return;
        last = text;
        if (m_queue.size() >= kMaxQueued)
            m_queue.pop_front();
        m_queue.push_back(std::string(what) + ": " + text + "\n");
        m_changed.notify_all();
    }

    // The writer's thread start: nothing here may throw past it (a line that
    // cannot be copied for want of memory ends the writing, not the relay).
    void WriteLines() noexcept
    {
        try {
            WriteQueuedLines();
        } catch (...) {
        }
    }

    void WriteQueuedLines()
    {
        std::unique_lock lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_queue.empty() || m_finishing; });
            if (m_queue.empty())
                return;
            const std::string line = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            const bool written = WriteOut(line);
            lock.lock();
            if (!written)
                return;
        }
    }

    // False when stdout took no more before the finishing deadline, or
    // failed.
    bool WriteOut(const std::string& line)
    {
        std::size_t done = 0;
        while (done < line.size()) {
            if (!WaitWritable())
                return false;
            // A pipe or terminal that polled writable takes a line this short
            // without blocking.
            const ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                return false;
        }
        return true;
    }

    bool WaitWritable()
    {
        for (;;) {
            bool finishing = false;
            Clock::time_point deadline;
            {
                std::lock_guard lock(m_lock);
                finishing = m_finishing;
                deadline = m_deadline;
            }
            int timeoutMs = -1;
            if (finishing) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                timeoutMs = static_cast<int>(std::max<long long>(left, 0));
            }
            pollfd waits[2] = {{STDOUT_FILENO, POLLOUT, 0}, {m_finish.Fd(), POLLIN, 0}};
            const int ready = poll(waits, finishing ? 1 : 2, timeoutMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return false;
            if (waits[0].revents)
                return true;  // writable, or an error the write reports
            if (finishing)
                return false;
            // Woken by Finish: from now on the deadline counts.
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::string> m_queue;
    bool m_finishing = false;
    Clock::time_point m_deadline;
    WakeSignal m_finish;
    std::string m_link{"-"};
    std::string m_progress{"-"};
    std::string m_transfer{"-"};
    std::thread m_writer;  // last: starts once everything it uses exists
};

void PrintUsage()
{
    std::fprintf(stderr,
                 "usage: brinvale-relay --port DEVICE [--speed RATE] [--log] [--log-dir DIR]\n"
                 "  DEVICE         the card terminal's serial device, e.g. /dev/ttyUSB0\n"
                 "  RATE           9600 (default), 38400, 57600, 115200, ...\n"
                 "  --log          write the traffic log into CATLOG beside this program\n"
                 "  --log-dir DIR  write it into the folder DIR instead\n");
}

struct Options {
    std::string port;
    std::string speed = "9600";
    bool log = false;
    std::string logDir;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc)
            options.port = argv[++i];
        else if (arg == "--speed" && i + 1 < argc)
            options.speed = argv[++i];
        else if (arg == "--log")
            options.log = true;
        else if (arg == "--log-dir" && i + 1 < argc && argv[i + 1][0] != '\0')
            options.logDir = argv[++i];
        else
            return false;
    }
    return !options.port.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage();
        return 2;
    }
    if (!BaudRateForSpeedText(options.speed))
        std::fprintf(stderr, "brinvale-relay: unknown speed %s, the port keeps its rate\n", options.speed.c_str());

    // Every thread inherits the blocked signals; only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader of stdout that goes away must not take the relay with it.
    std::signal(SIGPIPE, SIG_IGN);

    if (!options.logDir.empty())
        SetTrafficLogLocation(options.logDir, ExecutableBaseName());
    Relay relay;
    relay.SetLogging(options.log);
    ConsoleSink console;
    relay.AddStatusSink(&console);

    if (!relay.Start(options.port, options.speed)) {
        std::fprintf(stderr, "brinvale-relay: cannot open %s\n", options.port.c_str());
        relay.Stop();
        relay.RemoveStatusSink(&console);
        return 1;
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);

    relay.Stop();
    relay.RemoveStatusSink(&console);
    return 0;
}
