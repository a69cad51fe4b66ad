// The plan file and the address range of tavisol-cli's batch assignment: what is read, and
// every bad row refused with the line it begins on.
#include "cli/plan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using cli::ParsePlan;
using cli::Plan;

std::string Rows(const Plan& plan) {
    std::string text;
    for (const cli::PlanRow& row : plan.rows)
        text += std::to_string(row.line) + ":" + row.host + "|" + row.ip + "|" + row.mask + "|" +
                row.gateway + "\n";
    return text;
}

struct GoodCase {
    const char* why;
    const char* text;
    const char* rows; // line:host|ip|mask|gateway per row
};

TEST(PlanTest, ReadsWhatTheFileSays) {
    const GoodCase cases[] = {
        {"two columns take the defaults", "NAS-1,10.0.0.5\n", "1:NAS-1|10.0.0.5|M|G\n"},
        {"all four columns", "NAS-1,10.0.0.5,255.255.0.0,10.0.0.254\n",
         "1:NAS-1|10.0.0.5|255.255.0.0|10.0.0.254\n"},
        {"an empty mask takes --mask, a given gateway stays", "NAS-1,10.0.0.5,,10.0.0.1\n",
         "1:NAS-1|10.0.0.5|M|10.0.0.1\n"},
        {"header in any letter case, comments and blank lines keep line numbers",
         "HoSt,IP\n# rack 2\n\nNAS-1,10.0.0.5\n  \nNAS-2,10.0.0.6",
         "4:NAS-1|10.0.0.5|M|G\n6:NAS-2|10.0.0.6|M|G\n"},
        {"a header gives the column order", "host,gateway,ip\nNAS-1,10.0.0.254,10.0.0.5\n",
         "2:NAS-1|10.0.0.5|M|10.0.0.254\n"},
        {"CRLF line ends", "host,ip\r\nNAS-1,10.0.0.5\r\nNAS-2,10.0.0.6\r\n",
         "2:NAS-1|10.0.0.5|M|G\n3:NAS-2|10.0.0.6|M|G\n"},
        {"quoted fields with a comma, a doubled quote and a line break",
         "\"RACK,1\",10.0.0.5\n\"SAY "
         "\"\"HI\"\"\",10.0.0.6\n\"TWO\nLINES\",10.0.0.7\nLAST,10.0.0.8\n",
         "1:RACK,1|10.0.0.5|M|G\n2:SAY \"HI\"|10.0.0.6|M|G\n3:TWO\nLINES|10.0.0.7|M|G\n"
         "5:LAST|10.0.0.8|M|G\n"},
        {"a '#' inside a quoted field is data", "\"A\n# not a comment\",10.0.0.5\n",
         "1:A\n# not a comment|10.0.0.5|M|G\n"},
        {"blanks around fields go; leading zeros are decimal", " NAS-1 , 010.000.000.005 \n",
         "1:NAS-1|10.0.0.5|M|G\n"},
    };
    for (const GoodCase& c : cases) {
        Plan plan = ParsePlan(c.text, "M", "G");
        ASSERT_FALSE(plan.error) << c.why << ": line " << plan.error->line << ": "
                                 << plan.error->reason;
        EXPECT_EQ(Rows(plan), c.rows) << c.why;
    }
}

struct BadCase {
    const char* why;
    const char* text;
    int line;
    const char* reason; // a part of the reason
};

TEST(PlanTest, RefusesABadRowWithItsLine) {
    const BadCase cases[] = {
        {"one column", "NAS-1,10.0.0.5\nNAS-2\n", 2, "1 column"},
        {"five columns", "NAS-1,10.0.0.5,255.0.0.0,10.0.0.1,x\n", 1, "5 columns"},
        {"fewer columns than the header", "host,ip,mask\n#\nNAS-1,10.0.0.5\n", 3, "2 columns"},
        {"an unknown header column", "host,ip,vlan\n", 1, "unknown column 'vlan'"},
        {"a header column twice", "host,ip,IP\n", 1, "twice"},
        {"a header without ip", "host,mask\n", 1, "no ip column"},
        {"an empty host", "NAS-1,10.0.0.5\n  ,10.0.0.6\n", 2, "host name is empty"},
        {"an empty quoted host", "\"\",10.0.0.6\n", 1, "host name is empty"},
        {"an address part above 255", "NAS-1,10.0.0.256\n", 1, "not an address"},
        {"three parts", "NAS-1,10.0.5\n", 1, "not an address"},
        {"four digits in a part", "NAS-1,0010.0.0.5\n", 1, "not an address"},
        {"hexadecimal", "NAS-1,0x0a.0.0.5\n", 1, "not an address"},
        {"an empty part", "NAS-1,10..0.5\n", 1, "not an address"},
        {"an empty address", "NAS-1,\n", 1, "not an address"},
        {"a loopback address", "NAS-1,127.0.0.5\n", 1, "cannot be an appliance's address"},
        {"a multicast address", "NAS-1,224.0.0.5\n", 1, "cannot be an appliance's address"},
        {"a mask with a hole", "NAS-1,10.0.0.5,255.0.255.0\n", 1, "not a subnet mask"},
        {"an all-ones mask", "NAS-1,10.0.0.5,255.255.255.255\n", 1, "not a subnet mask"},
        {"a bad gateway", "NAS-1,10.0.0.5,,10.0.0\n", 1, "gateway '10.0.0'"},
        {"the same host in other letters", "NAS-1,10.0.0.5\n\nnas-1,10.0.0.6\n", 3,
         "planned on line 1"},
        {"the same address written otherwise", "NAS-1,10.0.0.5\nNAS-2,10.0.0.005\n", 2,
         "address 10.0.0.5 is planned on line 1"},
        {"an unterminated quote, on the line it opens", "NAS-1,10.0.0.5\n\"NAS-2,10.0.0.6\n\n", 2,
         "not closed"},
        {"text after a closing quote", "\"NAS\"-1,10.0.0.5\n", 1, "after the closing quote"},
        {"a bare quote inside a field", "NA\"S,10.0.0.5\n", 1, "quote inside"},
        {"a bad row after a multi-line field", "\"A\nB\",10.0.0.5\nC,1.2.3\n", 3, "not an address"},
        {"nothing but comments", "# empty\n\n", 0, "no appliance"},
        {"a header alone", "host,ip\n", 0, "no appliance"},
    };
    for (const BadCase& c : cases) {
        Plan plan = ParsePlan(c.text, "", "");
        ASSERT_TRUE(plan.error) << c.why;
        EXPECT_EQ(plan.error->line, c.line) << c.why << ": " << plan.error->reason;
        EXPECT_NE(plan.error->reason.find(c.reason), std::string::npos)
            << c.why << ": " << plan.error->reason;
        EXPECT_TRUE(plan.rows.empty()) << c.why;
    }
}

TEST(PlanTest, AFileThatCannotBeReadIsRefused) {
    const auto dir = std::filesystem::temp_directory_path();
    for (const std::string& path : {(dir / "tavisol-no-such-plan.csv").string(), dir.string()}) {
        Plan plan = cli::ReadPlanFile(path, "", "");
        ASSERT_TRUE(plan.error) << path;
        EXPECT_EQ(plan.error->line, 0) << path;
        EXPECT_EQ(plan.error->reason, "cannot read the plan file") << path;
    }
    const auto path = dir / ("tavisol-plan-" + std::to_string(::getpid()) + ".csv");
    std::ofstream(path) << "NAS-1,10.0.0.5\r\n";
    Plan plan = cli::ReadPlanFile(path.string(), "255.255.255.0", "");
    std::filesystem::remove(path);
    ASSERT_FALSE(plan.error);
    EXPECT_EQ(Rows(plan), "1:NAS-1|10.0.0.5|255.255.255.0|\n");
}

TEST(PlanTest, Ranges) {
    struct RangeCase {
        const char* text;
        bool ok;
        std::uint32_t count; // addresses in the range
    };
    const RangeCase cases[] = {
        {"10.0.0.5-10.0.0.5", true, 1},
        {"10.0.0.250-10.0.1.4", true, 11},
        {"10.0.0.1-10.0.4.0", true, 1024},
        {"10.0.0.1-10.0.4.1", false, 0}, // one above the limit
        {"10.0.0.6-10.0.0.5", false, 0},
        {"10.0.0.5-20", false, 0},
        {"10.0.0.5", false, 0},
        {"10.0.0.5-", false, 0},
        {"-10.0.0.5", false, 0},
        {"10.0.0.5-10.0.0.6-10.0.0.7", false, 0},
        {"0.0.0.1-0.0.0.9", false, 0},
        {"10.0.0.5 - 10.0.0.9", false, 0},
    };
    for (const RangeCase& c : cases) {
        std::string why;
        auto range = cli::ParseRange(c.text, why);
        ASSERT_EQ(range.has_value(), c.ok) << c.text << ": " << why;
        if (range)
            EXPECT_EQ(range->last - range->first + 1, c.count) << c.text;
        else
            EXPECT_FALSE(why.empty()) << c.text;
    }
}

} // namespace
