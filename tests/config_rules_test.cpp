// How stored settings texts become settings, and list entries become ports.
#include <gtest/gtest.h>

#include "config/port_list.h"
#include "config/settings.h"

namespace brinvale {
namespace {

TEST(StoredPort, OnlyDecimalDigitsGiveAPort)
{
    EXPECT_EQ(PortFromStored(L"12"), 12);
    EXPECT_EQ(PortFromStored(L"3"), 3);
    EXPECT_EQ(PortFromStored(L""), 0);
    EXPECT_EQ(PortFromStored(L"COM3"), 0);
    EXPECT_EQ(PortFromStored(L"-3"), 0);
    EXPECT_EQ(PortFromStored(L"3a"), 0);
    EXPECT_EQ(PortFromStored(L" 3"), 0);
    EXPECT_EQ(PortFromStored(L"99999999999"), 0) << "too large for a port number";
}

TEST(StoredSpeed, LabelsLoadAsRatesAndEverythingElseAs9600)
{
    EXPECT_EQ(SpeedFromLabel(L"9.6K"), L"9600");
    EXPECT_EQ(SpeedFromLabel(L"38.4k"), L"38400");
    EXPECT_EQ(SpeedFromLabel(L"56.0k"), L"57600");
    EXPECT_EQ(SpeedFromLabel(L"56.0K"), L"57600");
    EXPECT_EQ(SpeedFromLabel(L"115.2k"), L"115200");
    EXPECT_EQ(SpeedFromLabel(L"57.6K"), L"9600");
    EXPECT_EQ(SpeedFromLabel(L"38400"), L"9600");
    EXPECT_EQ(SpeedFromLabel(L""), L"9600");
    EXPECT_EQ(LabelForSpeed(L"57600"), L"56.0K");
    EXPECT_EQ(LabelForSpeed(L"115200"), L"115.2K");
}

TEST(StoredSwitches, OnlyExactValuesCount)
{
    EXPECT_FALSE(ShowFromStored(L"hidden"));
    EXPECT_FALSE(ShowFromStored(L"HIDDEN"));
    EXPECT_TRUE(ShowFromStored(L"Hidden"));
    EXPECT_TRUE(ShowFromStored(L"no"));
    EXPECT_TRUE(ShowFromStored(L"show"));
    EXPECT_TRUE(YesFromStored(L"Y"));
    EXPECT_TRUE(YesFromStored(L"y"));
    EXPECT_FALSE(YesFromStored(L"yes"));
    EXPECT_FALSE(YesFromStored(L"1"));
    EXPECT_FALSE(YesFromStored(L""));
}

TEST(PortEntries, TheNumberAfterTheFirstThreeCharacters)
{
    EXPECT_EQ(PortNumberFromEntry(L"COM3"), 3);
    EXPECT_EQ(PortNumberFromEntry(L"COM10"), 10);
    EXPECT_EQ(PortNumberFromEntry(L"CNCA0"), 0);
    EXPECT_EQ(PortNumberFromEntry(L"COM"), 0);
    EXPECT_EQ(PortNumberFromEntry(L"COM 7"), 7);
    EXPECT_EQ(PortNumberFromEntry(L"COM-2"), -2);
    EXPECT_EQ(PortNumberFromEntry(L"선택안함"), 0);
    EXPECT_EQ(SavedPortText(7), L"COM7");
    EXPECT_EQ(SavedPortText(0), L"COM0");
}

TEST(SpeedEntries, UnknownOrEmptySpeedSelects115200)
{
    EXPECT_EQ(SpeedIndexFor(L"9600"), 0);
    EXPECT_EQ(SpeedIndexFor(L"38400"), 1);
    EXPECT_EQ(SpeedIndexFor(L"57600"), 2);
    EXPECT_EQ(SpeedIndexFor(L"115200"), 3);
    EXPECT_EQ(SpeedIndexFor(L""), 3);
    EXPECT_EQ(FallbackPorts().size(), 20u);
    EXPECT_EQ(FallbackPorts().front(), L"COM1");
    EXPECT_EQ(FallbackPorts().back(), L"COM20");
}

}  // namespace
}  // namespace brinvale
