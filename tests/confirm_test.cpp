// The confirmation after an assignment: which datagram counts as the appliance's answer,
// which interfaces the probe goes out of, and what --confirm accepts.
#include "cli/confirm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

DWORD Addr(const char* text) {
    return inet_addr(text);
}

// A reply as an appliance sends it: the name NUL-terminated in 40 bytes, then 6 bytes.
std::string Reply(const std::string& name) {
    std::string reply(46, '\0');
    std::memcpy(reply.data(), name.data(), std::min<std::size_t>(name.size(), 40));
    return reply;
}

struct AnswerCase {
    const char* why;
    std::string data;
    const char* from;
    std::string listed;
    bool answer;
};

TEST(ConfirmTest, OnlyTheAppliancesOwnAnswerConfirms) {
    const AnswerCase cases[] = {
        {"its name from its address", Reply("NEW-BOX"), "10.199.0.40", "NEW-BOX", true},
        {"the name in other letters", Reply("new-box"), "10.199.0.40", "NEW-BOX", true},
        {"the list's trailing blank", Reply("BOX"), "10.199.0.40", "BOX ", true},
        {"another appliance's name at the address", Reply("OTHER"), "10.199.0.40", "NEW-BOX",
         false},
        {"its name from another address", Reply("NEW-BOX"), "10.199.0.41", "NEW-BOX", false},
        {"a name that only begins with it", Reply("NEW-BOX-2"), "10.199.0.40", "NEW-BOX", false},
        {"a name the list cut to 19", Reply("A-NAME-OF-THIRTY-CHARACTERS-X"), "10.199.0.40",
         "A-NAME-OF-THIRTY-CH", true},
        {"a short reply that ends inside the name", std::string("NEW-BOX"), "10.199.0.40",
         "NEW-BOX", true},
        {"an empty datagram", std::string(), "10.199.0.40", "NEW-BOX", false},
        // Without a NUL the name ends with the 40-byte field, never past it.
        {"no NUL in the field", std::string(40, 'X') + "TAIL", "10.199.0.40", std::string(40, 'X'),
         true},
    };
    for (const AnswerCase& c : cases) {
        cli::ConfirmTarget target;
        target.dwAddress = Addr("10.199.0.40");
        target.host = c.listed;
        EXPECT_EQ(cli::IsAppliancesAnswer(c.data.data(), static_cast<int>(c.data.size()),
                                          Addr(c.from), target),
                  c.answer)
            << c.why;
    }
}

NET_INTERFACE Interface(const char* name, DWORD index, const char* addr, const char* mask,
                        bool up = true, bool loopback = false) {
    return {name, index, Addr(addr), Addr(mask), up, TRUE, loopback};
}

struct FacingCase {
    const char* why;
    const char* address;
    const char* mask; // typed, "" for none
    DWORD ackInterface;
    std::vector<std::string> facing; // "name address"
};

TEST(ConfirmTest, ProbesByTheInterfaceThatFacesTheAppliance) {
    const std::vector<NET_INTERFACE> interfaces = {
        Interface("lo", 1, "127.0.0.1", "255.0.0.0", true, true),
        Interface("eth0", 2, "10.199.0.1", "255.255.255.0"),
        Interface("eth1", 3, "10.198.0.1", "255.255.255.0"),
        Interface("eth1", 3, "192.168.7.1", "255.255.255.0"),       // a second address of eth1
        Interface("eth2", 4, "10.197.0.1", "255.255.255.0", false), // down
    };
    const FacingCase cases[] = {
        {"the interface the acknowledgement left by", "10.199.0.40", "", 3, {"eth1 10.198.0.1"}},
        {"no interface known: the one whose subnet holds it",
         "10.198.0.40",
         "",
         0,
         {"eth1 10.198.0.1"}},
        {"a subnet of an interface's second address, probed from its first",
         "192.168.7.9",
         "",
         0,
         {"eth1 10.198.0.1"}},
        {"the typed mask in place of the interface's",
         "10.199.5.40",
         "255.255.0.0",
         0,
         {"eth0 10.199.0.1"}},
        {"the interface gone meanwhile", "10.199.0.40", "", 9, {"eth0 10.199.0.1"}},
        {"a down interface is never used",
         "10.197.0.40",
         "",
         4,
         {"eth0 10.199.0.1", "eth1 10.198.0.1"}},
        {"in no subnet: every interface, as a search",
         "172.31.9.9",
         "",
         0,
         {"eth0 10.199.0.1", "eth1 10.198.0.1"}},
    };
    for (const FacingCase& c : cases) {
        cli::ConfirmTarget target;
        target.dwAddress = Addr(c.address);
        target.dwMask = *c.mask ? Addr(c.mask) : 0;
        target.dwInterface = c.ackInterface;
        std::vector<std::string> got;
        for (const NET_INTERFACE& entry : cli::FacingInterfaces(interfaces, target)) {
            in_addr a{};
            a.s_addr = entry.dwAddr;
            got.push_back(entry.strName + " " + inet_ntoa(a));
        }
        EXPECT_EQ(got, c.facing) << c.why;
    }
    EXPECT_TRUE(cli::FacingInterfaces({interfaces[0]}, {}).empty()) << "loopback only";
}

TEST(ConfirmTest, ConfirmSecondsAreANumberUpToAnHour) {
    const std::pair<const char*, double> good[] = {
        {"0", 0}, {"4", 4}, {"2.5", 2.5}, {"3600", 3600}};
    for (const auto& [text, seconds] : good)
        EXPECT_EQ(cli::ParseConfirmSeconds(text), seconds) << text;
    for (const char* bad : {"", "-1", "x", "4s", "3601", "inf", "nan", " "})
        EXPECT_FALSE(cli::ParseConfirmSeconds(bad)) << bad;
}

} // namespace
