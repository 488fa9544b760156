// The card terminal's end of a real serial line, for tests.
//
// POSIX: a pty pair made by the test; the gateway opens the slave's path.
// Windows (under Wine): a socat pty pair mapped to two COM ports by the test
// harness; the gateway opens GatewayPort() and the terminal end is the other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brinvale::test {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text);
std::string Hex(const Bytes& bytes);  // "06 06 06"

class FakeTerminal {
public:
    virtual ~FakeTerminal() = default;

    // A fresh line whose gateway end is free; null when none can be made.
    static std::unique_ptr<FakeTerminal> Create();

    // A line the test can pull out and plug back in, as a USB adapter: the
    // gateway's end keeps one name across plugs. Null where the platform's
    // test harness cannot do that (under Wine the real program's tests do it
    // with the socat pair instead).
    static std::unique_ptr<FakeTerminal> CreatePluggable();

    // The gateway's end hangs up and its name is gone.
    virtual void Unplug() {}
    // A fresh line under the same name; false when none could be made.
    virtual bool Plug() { return false; }

    // The port text to give OpenSerialChannel.
    virtual std::string GatewayPort() const = 0;

    virtual void Send(const Bytes& bytes) = 0;

    // Collects what the gateway sends until count bytes are in or timeoutMs
    // passes; returns what arrived.
    virtual Bytes Receive(std::size_t count, int timeoutMs) = 0;

    // Collects everything that arrives within ms.
    Bytes ReceiveFor(int ms) { return Receive(SIZE_MAX, ms); }

    // Throws away anything pending.
    void Drain() { ReceiveFor(50); }
};

}  // namespace brinvale::test
