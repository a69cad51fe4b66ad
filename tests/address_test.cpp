// Unit tests for proto/address: the classic dotted-address parser and the in-place
// normalisation of typed address texts.
//
// The normaliser is given heap buffers of exactly 16 bytes, so that under
// AddressSanitizer a read or write past the buffer is reported rather than landing in a
// neighbouring stack variable.
#include "proto/address.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace {

using Address = std::array<std::uint8_t, 4>;

std::string Show(const std::optional<Address>& address) {
    if (!address) {
        return "invalid";
    }
    return DottedText(*address).data();
}

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A 16-byte heap buffer holding `raw` (at most 16 bytes, no terminator added), the rest
// zero.
std::unique_ptr<char[]> AddressBuffer(std::string_view raw) {
    auto buffer = std::make_unique<char[]>(16);
    std::copy_n(raw.begin(), std::min<std::size_t>(raw.size(), 16), buffer.get());
    return buffer;
}

// ---------------------------------------------------------------- classic parser

struct ParseCase {
    const char* name;
    std::string_view text;
    std::optional<Address> address; // nothing: invalid
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ClassicParseTest : public testing::TestWithParam<ParseCase> {};

// One table serves both entry points: the typed result, and the in-memory word that the
// socket calls take, which must be the same four bytes in the same order.
TEST_P(ClassicParseTest, Parses) {
    const ParseCase& c = GetParam();
    const std::optional<Address> parsed = ParseDottedAddress(c.text);
    EXPECT_EQ(parsed, c.address) << "text \"" << c.text << "\" read as " << Show(parsed);

    const std::uint32_t word = ClassicInetAddr(c.text);
    if (c.address) {
        Address inMemory{};
        std::memcpy(inMemory.data(), &word, sizeof word);
        EXPECT_EQ(inMemory, *c.address);
    } else {
        EXPECT_EQ(word, ADDRESS_NONE);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classic, ClassicParseTest,
    testing::Values(
        ParseCase{"FourDecimalParts", "192.168.0.10", Address{192, 168, 0, 10}},
        ParseCase{"OctalAfterLeadingZero", "010.0.0.1", Address{8, 0, 0, 1}},
        ParseCase{"OctalLargestPart", "0377.1.1.1", Address{255, 1, 1, 1}},
        ParseCase{"OctalEightIsInvalid", "08.1.1.1", std::nullopt},
        ParseCase{"OctalNineInLastPart", "1.2.3.09", std::nullopt},
        ParseCase{"Hexadecimal", "0x1F.1.1.1", Address{31, 1, 1, 1}},
        ParseCase{"HexadecimalCapitalPrefix", "1.2.3.0XfF", Address{1, 2, 3, 255}},
        ParseCase{"LoneZeroIsOctalZero", "0.1.0.1", Address{0, 1, 0, 1}},
        ParseCase{"EmptyMiddlePart", "192.168..10", Address{192, 168, 0, 10}},
        ParseCase{"EmptyLastPart", "255.255.255.", Address{255, 255, 255, 0}},
        ParseCase{"OnlyDots", "...", Address{0, 0, 0, 0}},
        // An empty gateway or mask text must still give option 3 or 1 the value 0.0.0.0.
        ParseCase{"EmptyText", "", Address{0, 0, 0, 0}},
        ParseCase{"ThreePartsLastFillsSixteenBits", "1.2.3", Address{1, 2, 0, 3}},
        ParseCase{"ThreePartsLargestLast", "1.2.65535", Address{1, 2, 255, 255}},
        ParseCase{"ThreePartsLastTooLarge", "1.2.65536", std::nullopt},
        ParseCase{"ThreePartsMiddleTooLarge", "1.256.3", std::nullopt},
        ParseCase{"TwoPartsLastFillsTwentyFourBits", "1.2", Address{1, 0, 0, 2}},
        ParseCase{"TwoPartsLargestLast", "10.16777215", Address{10, 255, 255, 255}},
        ParseCase{"TwoPartsLastTooLarge", "10.16777216", std::nullopt},
        ParseCase{"TwoPartsFirstTooLarge", "256.1", std::nullopt},
        ParseCase{"OnePartDecimal", "1", Address{0, 0, 0, 1}},
        ParseCase{"OnePartWholeAddress", "3232235530", Address{192, 168, 0, 10}},
        ParseCase{"OnePartHexadecimal", "0xC0A8000A", Address{192, 168, 0, 10}},
        ParseCase{"FourPartsFirstTooLarge", "256.1.1.1", std::nullopt},
        ParseCase{"FourPartsLastTooLarge", "192.168.1.256", std::nullopt},
        ParseCase{"JustBelowAllOnes", "255.255.255.254", Address{255, 255, 255, 254}},
        ParseCase{"AllOnesIsTheErrorValue", "255.255.255.255", std::nullopt},
        ParseCase{"AllOnesAsOnePart", "0xffffffff", std::nullopt},
        ParseCase{"AllOnesInOctal", "0377.0377.0377.0377", std::nullopt},
        ParseCase{"AllOnesAsTwoParts", "255.16777215", std::nullopt},
        ParseCase{"OnePartOverflow", "4294967296", std::nullopt},
        ParseCase{"HexPartOverflow", "1.0x100000000", std::nullopt},
        // Long enough to wrap a 64-bit accumulator that checked only at the end.
        ParseCase{"OverflowPastSixtyFourBits", "99999999999999999999999", std::nullopt},
        ParseCase{"ManyLeadingZeros", "0000000000000000000001.2.3.4", Address{1, 2, 3, 4}},
        ParseCase{"TrailingBlank", "1.2.3.4 ", Address{1, 2, 3, 4}},
        ParseCase{"TrailingWhiteSpaceMix", "1.2.3.4\t\r\n", Address{1, 2, 3, 4}},
        ParseCase{"TrailingLetter", "1.2.3.4x", std::nullopt},
        ParseCase{"TrailingDotMakesFiveParts", "1.2.3.4.", std::nullopt},
        ParseCase{"FiveParts", "1.2.3.4.5", std::nullopt},
        ParseCase{"LeadingBlank", " 1.2.3.4", std::nullopt},
        ParseCase{"BlankInsideText", "1.2. 3.4", std::nullopt},
        ParseCase{"Sign", "1.2.-3.4", std::nullopt}, ParseCase{"Letters", "a.b.c.d", std::nullopt}),
    CaseName<ParseCase>);

// ---------------------------------------------------------------- normalisation

struct NormalizeCase {
    const char* name;
    std::string_view typed;
    std::string_view normalised;
    std::optional<Address> address; // nothing: rejected
};

void PrintTo(const NormalizeCase& c, std::ostream* os) {
    *os << c.name;
}

class NormalizeTest : public testing::TestWithParam<NormalizeCase> {};

// The text left in the buffer is what the record keeps, what the responder converts and
// what the list shows, so both the text and the address it reads back as matter.
TEST_P(NormalizeTest, NormalisesInPlace) {
    const NormalizeCase& c = GetParam();
    auto buffer = AddressBuffer(c.typed);
    const bool accepted = NormalizeAddressText(std::span<char, 16>(buffer.get(), 16));

    EXPECT_EQ(std::string_view(buffer.get()), c.normalised);
    EXPECT_EQ(accepted, c.address.has_value());
    if (accepted && c.address) {
        EXPECT_EQ(ParseDottedAddress(buffer.get()), c.address);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Typed, NormalizeTest,
    testing::Values(
        NormalizeCase{"ZeroPartBecomesEmpty", "192.168.0.10", "192.168..10",
                      Address{192, 168, 0, 10}},
        NormalizeCase{"MaskKeepsFinalDot", "255.255.255.0", "255.255.255.",
                      Address{255, 255, 255, 0}},
        NormalizeCase{"TwoZeroParts", "10.0.0.5", "10...5", Address{10, 0, 0, 5}},
        NormalizeCase{"ZeroRunsOfDifferentLength", "10.00.000.1", "10...1", Address{10, 0, 0, 1}},
        // Stripping the leading zeros is what keeps these from reading as octal.
        NormalizeCase{"LeadingZerosReadAsDecimal", "192.168.010.001", "192.168.10.1",
                      Address{192, 168, 10, 1}},
        NormalizeCase{"OnlyThreeLeadingZerosGo", "0000.1.1.1", "0.1.1.1", Address{0, 1, 1, 1}},
        NormalizeCase{"OnlyThreeZerosGoBehindDot", "1.0000.1.1", "1.0.1.1", Address{1, 0, 1, 1}},
        NormalizeCase{"AllZero", "0.0.0.0", "...", Address{0, 0, 0, 0}},
        NormalizeCase{"NothingToStrip", "192.168.100.200", "192.168.100.200",
                      Address{192, 168, 100, 200}},
        NormalizeCase{"TrailingBlankStaysAndParses", "1.2.3.4 ", "1.2.3.4 ", Address{1, 2, 3, 4}},
        // The prefix's '0' goes like any leading zero, so a hexadecimal entry never passes.
        NormalizeCase{"HexadecimalLosesItsPrefix", "1.0x10.1.1", "1.x10.1.1", std::nullopt},
        NormalizeCase{"AllOnes", "255.255.255.255", "255.255.255.255", std::nullopt},
        NormalizeCase{"PartAbove255", "192.168.1.256", "192.168.1.256", std::nullopt},
        NormalizeCase{"TwoDots", "1.2.3", "1.2.3", std::nullopt},
        NormalizeCase{"FourDots", "1.2.3.4.5", "1.2.3.4.5", std::nullopt},
        NormalizeCase{"Empty", "", "", std::nullopt}),
    CaseName<NormalizeCase>);

// The text comes from an edit control into a fixed 16-byte buffer; what lies behind the
// text, or a missing terminator, must neither be read past the buffer nor leak into it.
TEST(NormalizeAddressText, KeepsToItsSixteenBytes) {
    struct Case {
        const char* name;
        std::string_view raw; // all 16 bytes of the buffer
        std::string_view normalised;
        bool accepted;
    };
    const Case cases[] = {
        {"NoTerminatorCutToFifteen", "192.168.100.2001", "192.168.100.200", true},
        {"ZerosBehindTerminatorIgnored", std::string_view("1.2.3.4\0.0.0.000", 16), "1.2.3.4",
         true},
        {"SixteenZeros", "0000000000000000", "000000000000", false},
        {"SixteenDots", "................", "...............", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.raw.size(), 16u);
        auto buffer = AddressBuffer(c.raw);
        EXPECT_EQ(NormalizeAddressText(std::span<char, 16>(buffer.get(), 16)), c.accepted);
        EXPECT_EQ(buffer[15], '\0');
        EXPECT_EQ(std::string_view(buffer.get()), c.normalised);
    }
}

// Whatever address the user types in its plain form, the normalised text has to convert
// back to that address: the responder assigns the converted value, not the text.
TEST(NormalizeAddressText, PlainTextReadsBackAsTheSameAddress) {
    const std::uint8_t octets[] = {0, 1, 7, 8, 9, 10, 63, 99, 100, 127, 199, 200, 254, 255};
    for (std::uint8_t a : octets) {
        for (std::uint8_t b : octets) {
            for (std::uint8_t c : octets) {
                for (std::uint8_t d : octets) {
                    const Address address{a, b, c, d};
                    if (address == Address{255, 255, 255, 255}) {
                        continue; // the error value, rejected by design
                    }
                    auto buffer = AddressBuffer(DottedText(address).data());
                    const std::string typed = buffer.get();
                    ASSERT_TRUE(NormalizeAddressText(std::span<char, 16>(buffer.get(), 16)))
                        << typed << " -> " << buffer.get();
                    ASSERT_EQ(ParseDottedAddress(buffer.get()), address)
                        << typed << " normalised to " << buffer.get();
                }
            }
        }
    }
}

TEST(DottedText, WritesCanonicalTerminatedText) {
    EXPECT_STREQ(DottedText({0, 0, 0, 0}).data(), "0.0.0.0");
    EXPECT_STREQ(DottedText({192, 168, 0, 10}).data(), "192.168.0.10");
    // The longest text fills the buffer exactly, terminator included.
    const auto longest = DottedText({255, 255, 255, 254});
    EXPECT_STREQ(longest.data(), "255.255.255.254");
    EXPECT_EQ(longest[15], '\0');
}

} // namespace
