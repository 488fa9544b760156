// The settings file through the real profile-string calls, start with
// Windows on the real registry (of the Wine prefix), and the serial device map.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/port_list.h"
#include "common/text.h"
#include "config/run_key.h"
#include "config/settings.h"
#include "relay/relay_state.h"
#include "dialog/dialog.h"
#include "common/program_paths.h"

namespace brinvale {
namespace {

std::filesystem::path TempIni(const char* name)
{
    std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove(path);
    return path;
}

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Write(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

TEST(SettingsFile, MissingFileIsCreatedWithTheFiveDefaults)
{
    const std::filesystem::path ini = TempIni("brinvale-defaults.ini");
    g_nComPort = 9;
    g_bAutoConnect = 1;
    LoadSettings(ToAnsi(ini.wstring()));
    EXPECT_EQ(ReadAll(ini),
              "[COMPORT]\r\nport=0\r\nspeed=9.6K\r\n[STATUSBOX]\r\nshow=hidden\r\n[COMMON]\r\nauto_run=N\r\nlog=N\r\n");
    EXPECT_EQ(g_nComPort, 0);
    EXPECT_EQ(g_strComSpeed, L"9600");
    EXPECT_EQ(g_bShowStatusBox, 0);
    EXPECT_EQ(g_bAutoConnect, 0);
    EXPECT_FALSE(g_bLogEnabled);
}

TEST(SettingsFile, StoredValuesFollowTheReadRulesAndMissingKeysStayMissing)
{
    const std::filesystem::path ini = TempIni("brinvale-stored.ini");
    const std::string stored = "[comport]\r\nPORT=12\r\n[StatusBox]\r\nshow=Hidden\r\n[COMMON]\r\nauto_run=y\r\nlog=1\r\n";
    Write(ini, stored);
    LoadSettings(ToAnsi(ini.wstring()));
    EXPECT_EQ(g_nComPort, 12);
    EXPECT_EQ(g_strComSpeed, L"9600") << "no speed key";
    EXPECT_EQ(g_bShowStatusBox, 1);
    EXPECT_EQ(g_bAutoConnect, 1);
    EXPECT_FALSE(g_bLogEnabled);
    EXPECT_EQ(ReadAll(ini), stored) << "reading adds nothing";

    Write(ini, "[COMPORT]\r\nport=COM3\r\nspeed=56.0k\r\n");
    LoadSettings(ToAnsi(ini.wstring()));
    EXPECT_EQ(g_nComPort, 0);
    EXPECT_EQ(g_strComSpeed, L"57600");
}

TEST(SettingsFile, WriteSettingReplacesOneKeyBesideTheProgram)
{
    FillProgramPaths();
    std::strcpy(g_paths.szIniFileName, "brinvale-write-test.ini");
    const std::filesystem::path ini = FromAnsi(SettingsFilePath());
    std::filesystem::remove(ini);
    WriteSetting(kLogKey, "Y");
    EXPECT_EQ(ReadAll(ini), "[COMMON]\r\nlog=Y\r\n") << "a file made here gets only the one key";
    WriteSetting(kLogKey, "N");
    WriteSetting(kPortKey, "4");
    EXPECT_EQ(ReadAll(ini), "[COMMON]\r\nlog=N\r\n[COMPORT]\r\nport=4\r\n");
    std::filesystem::remove(ini);
}

class RunValue : public ::testing::Test {
protected:
    void SetUp() override
    {
        FillProgramPaths();
        std::strcpy(g_paths.szBaseName, "BrinvaleRunValueTest");
        DeleteRunValue();
    }
    void TearDown() override { DeleteRunValue(); }
};

TEST_F(RunValue, IsWrittenUpToTheClosingQuoteAndDeleted)
{
    std::string out = "untouched";
    EXPECT_EQ(ReadUserRegistryString(kRunKey, g_paths.szBaseName, out), 0);
    EXPECT_EQ(out, " ");

    EXPECT_EQ(SetRunValue("\"C:\\OSBRIN\\OstrelBrinvale.exe\" /ignored"), 1);
    EXPECT_EQ(ReadUserRegistryString(kRunKey, g_paths.szBaseName, out), 1);
    EXPECT_EQ(out, "\"C:\\OSBRIN\\OstrelBrinvale.exe\"");

    EXPECT_EQ(DeleteRunValue(), 1);
    EXPECT_EQ(ReadUserRegistryString(kRunKey, g_paths.szBaseName, out), 0);
    EXPECT_EQ(DeleteRunValue(), 0) << "nothing left to delete";
}

TEST_F(RunValue, HangulFolderNamesAreStoredWhole)
{
    if (GetACP() != 949)
        GTEST_SKIP() << "needs the Korean ANSI code page";
    const std::string command = ToAnsi(L"\"C:\\매장 프로그램\\OstrelBrinvale.exe\"");
    ASSERT_EQ(SetRunValue(command), 1);
    std::string out;
    ASSERT_EQ(ReadUserRegistryString(kRunKey, g_paths.szBaseName, out), 1);
    EXPECT_EQ(FromAnsi(out), L"\"C:\\매장 프로그램\\OstrelBrinvale.exe\"");
}

TEST(RunValueCommand, IsTheQuotedProgramPath)
{
    const std::string command = RunCommandForThisProgram();
    EXPECT_EQ(command.front(), '"');
    EXPECT_EQ(command.back(), '"');
    EXPECT_EQ(command.substr(1, command.size() - 2), ProgramFullPath());
}

TEST(SerialDeviceMap, ListsTheMachinesComPortsForAStandardUser)
{
    const std::vector<std::wstring> ports = DiscoverPorts();
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"COM5"), ports.end());
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"COM6"), ports.end());
}

// The install folder is on a disk of this PC: HOMEDRIVE when it is one (under
// Wine Z: is the Linux root, a local disk), else the system drive (a home
// share's letter that is not mapped yet, or none at all).
TEST(ProgramPaths, InstallFolderIsOnALocalDiskElseOnTheSystemDrive)
{
    wchar_t saved[64] = {};
    const bool had = GetEnvironmentVariableW(L"HOMEDRIVE", saved, 64) > 0;
    SetEnvironmentVariableW(L"SystemDrive", L"D:");
    for (auto [home, folder] : {std::pair<const wchar_t*, const char*>{nullptr, "D:\\OSBRIN"},
                                {L"Z:", "Z:\\OSBRIN"},
                                {L"Q:", "D:\\OSBRIN"},
                                {L"Z:\\Users", "D:\\OSBRIN"}}) {
        SetEnvironmentVariableW(L"HOMEDRIVE", home);
        FillProgramPaths();
        EXPECT_STREQ(g_paths.szInstallFolder, folder) << (home ? Utf8(home) : "(none)");
    }
    SetEnvironmentVariableW(L"HOMEDRIVE", had ? saved : nullptr);
    SetEnvironmentVariableW(L"SystemDrive", L"C:");
}

}  // namespace
}  // namespace brinvale
