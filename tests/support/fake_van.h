// A VAN server on 127.0.0.1 for tests: accepts one link at a time, may greet
// at once, records what it receives, and can send or close on demand.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/fake_terminal.h"

namespace brinvale::test {

class FakeVan {
public:
    struct Options {
        Bytes greeting;        // sent as soon as a link is accepted; empty: silent
        bool echo = false;     // send back everything received
    };

    explicit FakeVan(Options options);
    ~FakeVan();

    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // Waits until total received bytes reach count; returns them.
    Bytes WaitReceived(std::size_t count, int timeoutMs);
    Bytes Received();
    int Accepted() const { return m_accepted; }
    // True once the gateway has closed the current link.
    bool WaitPeerClosed(int timeoutMs);

    void SendToGateway(const Bytes& bytes);
    void CloseLink();

private:
    void Serve();

    Options m_options;
    int m_port = 0;
    long long m_listen = -1;
    long long m_client = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    bool m_peerClosed = false;
    std::mutex m_lock;
    std::condition_variable m_changed;
    Bytes m_received;
    std::thread m_thread;
};

}  // namespace brinvale::test
