// tavisol-cli's list writers: JSON and CSV of host names a LAN can send, whatever their bytes.
#include "cli/output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cli::Device;

struct NameCase {
    const char* why;
    std::string host;
    std::string json; // the "host" value as ToJson writes it
    std::string csv;  // the host field as ToCsv writes it
};

const std::vector<NameCase> kNames = {
    {"plain", "STORE-ALPHA", R"("STORE-ALPHA")", "STORE-ALPHA"},
    {"empty", "", R"("")", ""},
    {"a comma", "RACK,2", R"("RACK,2")", R"("RACK,2")"},
    {"quotes", "say \"hi\"", R"("say \"hi\"")", R"("say ""hi""")"},
    {"a lone quote", "\"", R"("\"")", R"("""")"},
    {"a line break", "TWO\nLINES", R"("TWO\nLINES")", "\"TWO\nLINES\""},
    {"a lone CR", "A\rB", R"("A\rB")", "\"A\rB\""},
    {"CR LF", "A\r\nB", R"("A\r\nB")", "\"A\r\nB\""},
    {"a backslash", "C:\\box", R"("C:\\box")", "C:\\box"},
    {"a backslash before b", "\\b\\f", R"("\\b\\f")", "\\b\\f"},
    {"tab", "A\tB", R"("A\tB")", "A\tB"},
    {"backspace and form feed", "\b\f", R"("\u0008\u000c")", "\b\f"},
    {"other control characters", std::string("\x01\x1f", 2), R"("\u0001\u001f")",
     std::string("\x01\x1f", 2)},
    {"DEL", "A\x7f", R"("A\u007f")", "A\x7f"},
    {"blanks at the ends", " BOX ", R"(" BOX ")", " BOX "},
    {"valid UTF-8", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa6",
     "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa6\"",
     "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa6"},
    {"invalid UTF-8",
     "Ar\xc3\xff-\x80"
     "a",
     "\"Ar\xef\xbf\xbd\xef\xbf\xbd-\xef\xbf\xbd"
     "a\"",
     "Ar\xef\xbf\xbd\xef\xbf\xbd-\xef\xbf\xbd"
     "a"},
    {"overlong and surrogate", "\xc0\xaf\xed\xa0\x80",
     "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
    {"invalid UTF-8 and a comma", "\xff,", "\"\xef\xbf\xbd,\"", "\"\xef\xbf\xbd,\""},
};

TEST(OutputTest, JsonEscapesEveryAwkwardName) {
    for (const NameCase& c : kNames) {
        const std::vector<Device> one = {{"No IP", c.host, "00-0A-1B-FF-20-3C"}};
        EXPECT_EQ(cli::ToJson(one), "[{\"address\":\"No IP\",\"host\":" + c.json +
                                        ",\"hw\":\"00-0A-1B-FF-20-3C\"}]\n")
            << c.why;
        // A line of --watch is the array's element alone.
        EXPECT_EQ(cli::ToJsonLine(one[0]),
                  "{\"address\":\"No IP\",\"host\":" + c.json + ",\"hw\":\"00-0A-1B-FF-20-3C\"}\n")
            << c.why;
    }
    EXPECT_EQ(cli::ToJson({}), "[]\n");
}

TEST(OutputTest, CsvQuotesEveryAwkwardName) {
    for (const NameCase& c : kNames) {
        EXPECT_EQ(cli::ToCsv({{"No IP", c.host, "00-0A-1B-FF-20-3C"}}),
                  "address,host,hw\r\nNo IP," + c.csv + ",00-0A-1B-FF-20-3C\r\n")
            << c.why;
        // Any field may hold such a name, the first and the last too.
        EXPECT_EQ(cli::ToCsv({{c.host, "", c.host}}),
                  "address,host,hw\r\n" + c.csv + ",," + c.csv + "\r\n")
            << c.why;
    }
}

TEST(OutputTest, CsvHasAHeaderAndOneRecordPerRowInListOrder) {
    EXPECT_EQ(cli::ToCsv({}), "address,host,hw\r\n");
    EXPECT_EQ(
        cli::ToCsv({{"10.199.0.11", "STORE-ALPHA", ""}, {"No IP", "NEW,BOX", "00-0A-1B-FF-20-3C"}}),
        "address,host,hw\r\n10.199.0.11,STORE-ALPHA,\r\nNo IP,\"NEW,BOX\",00-0A-1B-FF-20-3C\r\n");
}

} // namespace
