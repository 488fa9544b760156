// brinvale-relay: the gateway without windows, for Linux POS and kiosk PCs.
//
//   brinvale-relay --port DEVICE [--speed RATE] [--log] [--log-dir DIR]
//
// Relays between the card terminal on DEVICE and the VAN the terminal asks
// for, until SIGINT or SIGTERM, and prints the status outputs on stdout.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>

#include "log/traffic_log.h"
#include "relay/pump_threads.h"
#include "relay/relay_state.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"

using namespace brinvale;

namespace {

// One line per output. An output that repeats the text its control already
// shows is not printed again: a window would show no change either, and the
// pump refreshes the link status twice a second.
class ConsoleSink : public StatusSink {
public:
    void OnLinkStatus(std::string_view text) override { Print(m_link, "link", std::string(text)); }
    void OnProgressText(std::string_view text) override { Print(m_progress, "progress", std::string(text)); }
    void OnTransferState(std::string_view text, Colour colour) override
    {
        std::string line(text);
        line += colour == kErrorColour ? " (error)" : " (ok)";
        Print(m_transfer, "transfer", line.front() == ' ' ? line.substr(1) : line);
    }

private:
    void Print(std::string& last, const char* what, const std::string& text)
    {
        std::lock_guard lock(m_lock);
        if (text == last)
            return;
        last = text;
        std::printf("%s: %s\n", what, text.c_str());
        std::fflush(stdout);
    }

    std::mutex m_lock;
    std::string m_link{"-"};
    std::string m_progress{"-"};
    std::string m_transfer{"-"};
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

    g_bLogEnabled = options.log;
    if (!options.logDir.empty())
        SetTrafficLogLocation(options.logDir, ExecutableBaseName());
    ConsoleSink console;
    RegisterStatusSink(&console);
    ResetRelayState();

    if (!OpenSerialChannel(options.port, options.speed)) {
        std::fprintf(stderr, "brinvale-relay: cannot open %s\n", options.port.c_str());
        CloseSerialChannel();
        UnregisterStatusSink(&console);
        return 1;
    }

    RelayThreads threads;
    threads.StartPumpThreads();

    int signal = 0;
    sigwait(&stopSignals, &signal);

    // The same order as Disconnect: pumps, then the serial line, then the VAN.
    threads.EndPumpThreads();
    CloseSerialChannel();
    DropVanLink();
    ShowProgressText("");
    RefreshLinkStatus();
    UnregisterStatusSink(&console);
    return 0;
}
