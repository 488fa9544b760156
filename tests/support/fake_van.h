// A VAN server on 127.0.0.1 for tests: accepts one link at a time, may greet
// at once, records what it receives, and can send or close on demand.
//
// It can also misbehave the ways a real server or the network between does:
// end a link at once on accept, end it after a number of bytes came in (in the
// middle of the terminal's burst), end it right after part of a reply, stay
// silent, or never accept at all. A link is ended either with a close (FIN)
// or with a reset (RST: SO_LINGER with zero time-out, then close).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/fake_terminal.h"

namespace brinvale::test {

class FakeVan {
public:
    enum class Ending { Close, Reset };

    struct Options {
        Bytes greeting{};      // sent as soon as a link is accepted; empty: silent
        bool echo = false;     // send back everything received
        // Ends every link as soon as it is accepted, before any greeting.
        std::optional<Ending> endOnAccept = std::nullopt;
        // Ends a link once this many bytes came in on it, reading no further
        // (0: never). The bytes up to that point are recorded.
        std::size_t endAfterBytes = 0;
        Ending endAfterBytesBy = Ending::Close;
        // Never accepts: the listening queue is kept full, so a connect to
        // the port stays unanswered until the connecting side gives up.
        bool neverAccept = false;
    };

    explicit FakeVan(Options options);
    ~FakeVan();
    FakeVan(const FakeVan&) = delete;
    FakeVan& operator=(const FakeVan&) = delete;

    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // Waits until total received bytes reach count; returns them.
    Bytes WaitReceived(std::size_t count, int timeoutMs);
    Bytes Received();
    int Accepted() const { return m_accepted; }
    // True once count links have been accepted.
    bool WaitAccepted(int count, int timeoutMs);
    // True once the gateway has closed the current link.
    bool WaitPeerClosed(int timeoutMs);

    void SendToGateway(const Bytes& bytes);
    void CloseLink();
    // Ends the current link with an RST.
    void ResetLink();
    // Sends bytes and ends the link right behind them.
    void SendThenEnd(const Bytes& bytes, Ending how);

private:
    void Serve();
    void AcceptOne();
    void ReceiveFrom(long long client);
    void EndLinkLocked(Ending how);

    Options m_options;
    int m_port = 0;
    long long m_listen = -1;
    long long m_filler = -1;  // holds the listening queue full (neverAccept)
    long long m_client = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    bool m_peerClosed = false;
    std::size_t m_linkReceived = 0;
    std::mutex m_lock;
    std::condition_variable m_changed;
    Bytes m_received;
    std::thread m_thread;
};

}  // namespace brinvale::test
