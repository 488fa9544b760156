// The relay's own steps, one at a time, for the tests that take it apart:
// its state, its serial line, its VAN link and its pump threads. Only tests
// use this; the program drives the relay through its public face.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "relay/relay.h"

namespace brinvale {

class RelayTestAccess {
public:
    explicit RelayTestAccess(Relay& relay) : m_relay(relay) {}

    RelayState& State() { return m_relay.m_state; }
    bool OpenSerialChannel(const std::string& port, const std::string& speed)
    {
        return m_relay.OpenSerialChannel(port, speed);
    }
    void CloseSerialChannel() { m_relay.CloseSerialChannel(); }
    void SendControlToCat(std::uint8_t c) { m_relay.SendControlToCat(c); }
    void DropVanLink() { m_relay.DropVanLink(); }
    std::shared_ptr<CSocketCommCls> CurrentVanLink() { return m_relay.CurrentVanLink(); }
    void RefreshLinkStatus() { m_relay.RefreshLinkStatus(); }
    void EndPumpThreads() { m_relay.EndPumpThreads(); }

private:
    Relay& m_relay;
};

}  // namespace brinvale
