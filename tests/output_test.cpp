// tavisol-cli's list writers: JSON and CSV of host names a LAN can send, whatever their bytes.
#include "cli/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using cli::Device;

// The hand-written writer the JSON output came from, kept here until the library's output has
// been shown to be the same byte for byte.
namespace legacy {
using cli::ValidUtf8;
std::string JsonString(const std::string& raw) {
    std::string text = ValidUtf8(raw);
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}
std::string ToJson(const std::vector<Device>& devices) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (i)
            out += ",";
        out += "{\"address\":" + JsonString(devices[i].address) +
               ",\"host\":" + JsonString(devices[i].host) + ",\"hw\":" + JsonString(devices[i].hw) +
               "}";
    }
    return out + "]\n";
}
} // namespace legacy

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

TEST(OutputTest, JsonIsTheSameAsTheHandWrittenWriter) {
    std::vector<Device> devices;
    for (const NameCase& c : kNames)
        devices.push_back({"No IP", c.host, "00-0A-1B-FF-20-3C"});
    EXPECT_EQ(cli::ToJson(devices), legacy::ToJson(devices));
    EXPECT_EQ(cli::ToJson({}), legacy::ToJson({}));
    // Every single byte, and random byte strings, in each of the three fields.
    for (int b = 0; b < 256; ++b) {
        std::string s(1, static_cast<char>(b));
        std::vector<Device> one = {{s, "x" + s + "y", s + s}};
        ASSERT_EQ(cli::ToJson(one), legacy::ToJson(one)) << "byte " << b;
    }
    std::mt19937 random(1211);
    for (int i = 0; i < 20000; ++i) {
        std::string s(random() % 12, '\0');
        for (char& c : s)
            c = static_cast<char>(random() % 256);
        std::vector<Device> one = {{s, s, s}};
        ASSERT_EQ(cli::ToJson(one), legacy::ToJson(one)) << i;
    }
}

} // namespace
