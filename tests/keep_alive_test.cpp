// Keep-alive in real time: without VAN data the link is dropped on the
// 143rd pump step, about 72 s after the VAN last spoke.
#include <gtest/gtest.h>

#include <chrono>

#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;
using KeepAlive = RelayRig;

TEST_F(KeepAlive, DropsASilentLinkAfterAboutSeventyTwoSeconds)
{
    FakeVan van({ToBytes("G"), false});
    OpenLink(van);
    ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
    const auto lastVanData = Clock::now();
    m_terminal->Send(ToBytes("REQ"));  // the terminal used the link: it will be told
    ASSERT_EQ(van.WaitReceived(3, 3000).size(), 3u);

    EXPECT_EQ(Hex(m_terminal->Receive(5, 90000)), Hex(kFiveEsc));
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastVanData).count();
    EXPECT_GE(ms, 66000);
    EXPECT_LE(ms, 80000);
    EXPECT_TRUE(van.WaitPeerClosed(2000));
    // The five ESC go out first; the texts follow.
    EXPECT_TRUE(m_sink.WaitFor("transfer: Socket Time-Out (KEEP ALIVE) (error)", 2000));
    EXPECT_TRUE(m_sink.WaitFor("progress: Socket Time-Out (KEEP ALIVE)", 2000));
}

}  // namespace
}  // namespace brinvale::test
