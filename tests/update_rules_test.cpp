// The version rule, the reply's first line, the reply's three texts, and the
// scripts byte for byte.
#include <gtest/gtest.h>

#include "update/scripts.h"
#include "update/version.h"

namespace brinvale {
namespace {

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }
std::string Tabs(int n) { return std::string(static_cast<std::size_t>(n), '\t'); }

TEST(VersionRule, ComparesTheDotFreeNumbers)
{
    EXPECT_EQ(VersionToNumber("2.0.0.3"), 2003.0);
    EXPECT_EQ(VersionToNumber("2.0.0.10"), 20010.0);
    EXPECT_EQ(VersionToNumber("2.0.1"), 201.0);
    EXPECT_EQ(VersionToNumber(""), 0.0);
    EXPECT_EQ(VersionToNumber("beta"), 0.0);
    EXPECT_EQ(VersionToNumber(std::string(31, '1')), 1111111111111111111111111111111.0);
    EXPECT_FALSE(VersionToNumber(std::string(32, '1'))) << "too long for its field";
    EXPECT_TRUE(VersionToNumber("1." + std::string(31, '1')).has_value() == false);
}

UpdateOffer Offer(const char* status, const char* version)
{
    return {status, version, "http://127.0.0.1/new.exe"};
}

TEST(VersionRule, OnlyAnOkOfANewerVersionIsAnUpdate)
{
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "2.0.0.4"), "2.0.0.3"));
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "2.0.0.10"), "2.0.0.3"));
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", "2.0.0.3"), "2.0.0.3"));
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", "2.0.1"), "2.0.0.3"));
    EXPECT_FALSE(OffersNewerVersion(Offer("OK", "9.9.9.9"), "2.0.0.3"));
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", std::string(40, '9').c_str()), "2.0.0.3"));
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "0.1"), "")) << "no version resource counts as 0";
}

TEST(VersionRule, ATextThatReadsAsNoFiniteNumberIsNoVersion)
{
    EXPECT_FALSE(VersionToNumber("1e999"));
    EXPECT_FALSE(VersionToNumber("1.e.9.99"));
    // glibc reads "inf" and "nan" as such, the Windows runtime as 0: either
    // way they never offer an update.
    for (const char* text : {"inf", "nan", "-inf"}) {
        const std::optional<double> number = VersionToNumber(text);
        EXPECT_TRUE(!number || *number == 0) << text;
        EXPECT_FALSE(OffersNewerVersion(Offer("ok", text), "2.0.0.3")) << text;
    }
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", "1e999"), "2.0.0.3")) << "would be offered at every start";
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", "inf"), "2.0.0.3"));
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "2.0.0.4"), "inf")) << "an unreadable own version counts as 0";
}

TEST(ReplyLine, OnlyTheFirstLineWithoutCarriageReturns)
{
    FirstLineReader reader;
    EXPECT_TRUE(reader.Feed("{\"status\":\r", 11));
    EXPECT_FALSE(reader.Feed("\"ok\"}\r\nsecond line", 19));
    EXPECT_EQ(reader.Line(), "{\"status\":\"ok\"}\n");

    FirstLineReader longLine;
    const std::string body(3000, 'x');
    EXPECT_FALSE(longLine.Feed(body.data(), body.size()));
    EXPECT_EQ(longLine.Line().size(), 1023u);
}

TEST(ReplyText, TheThreeMembersAreReadByExactName)
{
    const auto offer = ParseUpdateReply(R"({"status":"ok","version":"2.0.0.4","url":"http://h/x.exe","extra":1})" "\n");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->status, "ok");
    EXPECT_EQ(offer->version, "2.0.0.4");
    EXPECT_EQ(offer->url, "http://h/x.exe");

    EXPECT_FALSE(ParseUpdateReply(""));
    EXPECT_FALSE(ParseUpdateReply("<html>404</html>"));
    EXPECT_FALSE(ParseUpdateReply(R"({"status":"ok","version":"2.0.0.4"})")) << "no url";
    EXPECT_FALSE(ParseUpdateReply(R"({"status":"ok","version":2004,"url":"u"})")) << "version not a string";
    EXPECT_FALSE(ParseUpdateReply(R"({"Status":"ok","version":"2.0.0.4","url":"u"})"));
    EXPECT_FALSE(ParseUpdateReply(R"(["ok","2.0.0.4","u"])"));
    EXPECT_FALSE(ParseUpdateReply("{\"status\":\"ok\",\n")) << "an object spread over lines is cut at the first";
}

TEST(Scripts, UpdateScriptByteForByte)
{
    const auto text = UpdateScriptText("C:\\OSBRIN\\UpdateFile.sob", "C:\\OSBRIN\\OstrelBrinvale.exe",
                                       "C:\\OSBRIN\\\"OstrelBrinvale.exe\"");
    ASSERT_TRUE(text);
    const std::string eol = "\r\r\n";
    EXPECT_EQ(ScriptFileBytes(*text),
              "IF NOT EXIST \"C:\\OSBRIN\\UpdateFile.sob\" goto KError" + Tabs(1) + eol +
              ":Repeat" + Blanks(6) + eol +
              "del /f /s /q \"C:\\OSBRIN\\OstrelBrinvale.exe\"" + Blanks(4) + eol +
              "if exist \"C:\\OSBRIN\\OstrelBrinvale.exe\" goto Repeat" + Tabs(2) + eol +
              "copy /y \"C:\\OSBRIN\\UpdateFile.sob\" \"C:\\OSBRIN\\OstrelBrinvale.exe\"" + Blanks(3) + eol +
              "@ start C:\\OSBRIN\\\"OstrelBrinvale.exe\" %1" + Tabs(1) + eol +
              ":KError" + Tabs(1) + eol +
              "del /f /s /q \"C:\\OSBRIN\\UpdateFile.sob\"" + Blanks(4) + eol +
              "del /f /s /q \"update_brinvale.bat\"" + Blanks(4) + eol +
              ":END");
}

TEST(Scripts, RemovalScriptsByteForByte)
{
    const std::string eol = "\r\r\n";
    const auto all = RemovalScriptText("copy", "C:\\OSBRIN\\");
    ASSERT_TRUE(all);
    EXPECT_EQ(ScriptFileBytes(*all),
              ":Repeat" + Blanks(6) + eol +
              "del /f /s /q \"copy.exe\"" + Blanks(4) + eol +
              "del /f /s /q \"copy.ini\"" + Blanks(4) + eol +
              "del /f /s /q \"C:\\OSBRIN\\copy.exe\"" + Tabs(1) + eol +
              "del /f /s /q \"C:\\OSBRIN\\copy.ini\"" + Tabs(1) + eol +
              "rmdir /s /q \"CATLOG\"" + Tabs(2) + eol +
              "rmdir /s /q \"C:\\OSBRIN\\CATLOG\"" + Tabs(2) + eol +
              "if exist \"copy.exe\" goto Repeat" + Tabs(2) + eol +
              "if exist \"copy.ini\" goto Repeat" + Tabs(2) + eol +
              "if exist \"CATLOG\" goto Repeat" + Tabs(2) + eol +
              "if exist \"C:\\OSBRIN\\copy.exe\" goto Repeat" + Blanks(1) + eol +
              "if exist \"C:\\OSBRIN\\copy.ini\" goto Repeat" + Blanks(1) + eol +
              "if exist \"C:\\OSBRIN\\CATLOG\" goto Repeat" + Blanks(1) + eol +
              "del /s /q killfileall.bat" + Blanks(5) + eol);

    const auto old = OldCopyRemovalScriptText("OstrelBrinvale");
    ASSERT_TRUE(old);
    EXPECT_EQ(ScriptFileBytes(*old),
              ":Repeat" + Blanks(6) + eol +
              "del /f /s /q \"OstrelBrinvale.exe\"" + Blanks(1) + eol +
              "del /f /s /q \"OstrelBrinvale.ini\"" + Blanks(1) + eol +
              "rmdir /s /q \"CATLOG\"" + Blanks(6) + eol +
              "if exist \"OstrelBrinvale.exe\" goto Repeat" + Tabs(2) + eol +
              "if exist \"OstrelBrinvale.ini\" goto Repeat" + Tabs(2) + eol +
              "if exist \"CATLOG\" goto Repeat" + Tabs(2) + eol +
              "del /s /q killfile.bat" + Blanks(5) + eol);

    const auto restart = RestartScriptText("C:\\OSBRIN", "OstrelBrinvale.exe");
    ASSERT_TRUE(restart);
    EXPECT_EQ(ScriptFileBytes(*restart),
              "@ start C:\\OSBRIN\\\"OstrelBrinvale.exe\" %1" + Tabs(1) + eol +
              ":Repeat" + Blanks(6) + eol +
              "del /f /s /q \"runextern.bat\"" + Blanks(4) + eol +
              "if exist \"runextern.bat\" goto Repeat" + Tabs(2) + eol);
}

TEST(Scripts, AScriptThatWouldNotFitIsNeverComposed)
{
    const std::string longPath = "C:\\" + std::string(400, 'x') + "\\UpdateFile.sob";
    EXPECT_FALSE(UpdateScriptText(longPath, "C:\\OSBRIN\\OstrelBrinvale.exe", "C:\\OSBRIN\\\"OstrelBrinvale.exe\""));
    EXPECT_FALSE(RemovalScriptText(std::string(200, 'b'), "C:\\OSBRIN\\"));
    EXPECT_TRUE(RemovalScriptText(std::string(20, 'b'), "C:\\OSBRIN\\"));
}

}  // namespace
}  // namespace brinvale
