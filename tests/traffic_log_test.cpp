// Log lines byte for byte, the daily file and several writers at once.
#include <gtest/gtest.h>

#include <thread>

#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

const LocalTime kMorning{2024, 3, 3, 9, 5, 7, 42};

TEST(TrafficLogFormat, InfoLineHasElevenBlanksAndACountOfZero)
{
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogInfo, "Serial CLOSE", 0),
              "09:05:07.042 >            [0   ] [Serial CLOSE]\r\n");
}

TEST(TrafficLogFormat, DataLinesCarryTagCountAndUppercaseHex)
{
    const std::uint8_t ack[5] = {6, 6, 6, 6, 6};
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogPcToCat, ack, 5),
              "09:05:07.042 > [PC ->CAT] [5   ] [0606060606]\r\n");
    const std::uint8_t edges[3] = {0x00, 0xFF, 0xab};
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogCatToPc, edges, 3),
              "09:05:07.042 > [CAT->PC ] [3   ] [00FFAB]\r\n");
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogVanToPc, edges, 1), "09:05:07.042 > [VAN->PC ] [1   ] [00]\r\n");
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogPcToVan, edges, 2), "09:05:07.042 > [PC ->VAN] [2   ] [00FF]\r\n");
}

TEST(TrafficLogFormat, EmptyAndFailedReadsHaveEmptyBodies)
{
    const std::uint8_t none[1] = {0};
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogCatToPc, none, 0), "09:05:07.042 > [CAT->PC ] [0   ] []\r\n");
    EXPECT_EQ(FormatTrafficRecord(kMorning, kLogCatToPc, none, -1), "09:05:07.042 > [CAT->PC ] [-1  ] []\r\n");
}

TEST(TrafficLogFormat, LargestBurstGivesFourThousandNinetyEightDigits)
{
    std::vector<std::uint8_t> burst(2049, 0x5A);
    const std::string line = FormatTrafficRecord(kMorning, kLogCatToPc, burst.data(), 2049);
    EXPECT_EQ(line.substr(0, 34), "09:05:07.042 > [CAT->PC ] [2049] [");
    EXPECT_EQ(line.size(), 34u + 4098u + 3u);
    EXPECT_EQ(line.substr(34 + 4098), "]\r\n");
}

TEST(TrafficLogFormat, ControlBytesAndBackslashesInAnInfoTextBecomeHexEscapes)
{
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"ConnectToVAN 1\r\n09:00(1)", "ConnectToVAN 1\\x0D\\x0A09:00(1)"},  // no forged record
        {"\x1B[2J\x07\x7F\x01\x1F", "\\x1B[2J\\x07\\x7F\\x01\\x1F"},         // nothing drives a terminal
        {"a\\x0Db", "a\\x5Cx0Db"},                                           // no escape forged
        {"COM3 \xEC\x97\xB0 ~", "COM3 \xEC\x97\xB0 ~"},                      // other bytes as they are
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatTrafficRecord(kMorning, kLogInfo, c.text, 0),
                  std::string("09:05:07.042 >            [0   ] [") + c.shown + "]\r\n");
    }
}

TEST(TrafficLogFormat, UnknownCodesWriteNothing)
{
    EXPECT_EQ(FormatTrafficRecord(kMorning, 6, "x", 1), "");
}

class TrafficLogFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = FreshTestFolder("log-files") / "CATLOG";
        SetTrafficLogLocation(m_folder, "P");
    }
    void TearDown() override { SetTrafficLogClock(nullptr); }
    std::filesystem::path m_folder;
};

TEST_F(TrafficLogFiles, MissingFolderIsCreatedAndRecordsAppendInOrder)
{
    SetTrafficLogClock([] { return kMorning; });
    WriteTrafficLogInfo("Serial CLOSE");
    const std::uint8_t cr = 0x0D;
    WriteTrafficLog(&cr, kLogCatToPc, 1);
    EXPECT_EQ(ReadWholeFile(m_folder / "P_20240303.LOG"),
              "09:05:07.042 >            [0   ] [Serial CLOSE]\r\n"
              "09:05:07.042 > [CAT->PC ] [1   ] [0D]\r\n");
}

TEST_F(TrafficLogFiles, FirstRecordAfterMidnightStartsTheNextDaysFile)
{
    LocalTime now{2024, 2, 28, 23, 59, 59, 999};
    SetTrafficLogClock([&] { return now; });
    WriteTrafficLogInfo("before");
    now = {2024, 2, 29, 0, 0, 0, 1};
    WriteTrafficLogInfo("after");
    EXPECT_EQ(ReadWholeFile(m_folder / "P_20240228.LOG"), "23:59:59.999 >            [0   ] [before]\r\n");
    EXPECT_EQ(ReadWholeFile(m_folder / "P_20240229.LOG"), "00:00:00.001 >            [0   ] [after]\r\n");
}

TEST_F(TrafficLogFiles, UnwritableFolderLosesTheRecordQuietly)
{
    std::filesystem::create_directories(m_folder.parent_path());
    { std::ofstream blocker(m_folder); }  // a file where the folder should be
    WriteTrafficLogInfo("lost");
    EXPECT_TRUE(std::filesystem::is_regular_file(m_folder));
}

TEST_F(TrafficLogFiles, ConcurrentWritersNeverShareALine)
{
    constexpr int kRecords = 400;
    std::vector<std::uint8_t> a(300, 0xAA), b(300, 0xBB);
    std::thread first([&] {
        for (int i = 0; i < kRecords; ++i)
            WriteTrafficLog(a.data(), kLogCatToPc, static_cast<int>(a.size()));
    });
    std::thread second([&] {
        for (int i = 0; i < kRecords; ++i)
            WriteTrafficLog(b.data(), kLogVanToPc, static_cast<int>(b.size()));
    });
    first.join();
    second.join();

    const std::string lineA = "[CAT->PC ] [300 ] [" + std::string(600, 'A') + "]";
    const std::string lineB = "[VAN->PC ] [300 ] [" + std::string(600, 'B') + "]";
    int countA = 0, countB = 0;
    for (const std::string& record : LogRecords(m_folder)) {
        ASSERT_TRUE(record == lineA || record == lineB) << record.substr(0, 80);
        (record == lineA ? countA : countB)++;
    }
    EXPECT_EQ(countA, kRecords);
    EXPECT_EQ(countB, kRecords);
}

}  // namespace
}  // namespace brinvale::test
