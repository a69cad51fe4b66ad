// The interface list as the system has it: in the test's private network, the workstation's
// interface with its ten addresses, loopback, and two more interfaces made here (veths whose
// peers stay down), one with a mask other than /24 and one left switched off.
#include "platform/netif.h"
#include "tests/support/netns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <net/if.h>
#include <string>

namespace {

DWORD Addr(const char* pszText) {
    return inet_addr(pszText);
}

class NetInterfacesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testlab::PrivateNetworkProblem().empty())
            return;
        s_bMade = testlab::AddInterface("tvs0", {"192.168.77.5/27"}) &&
                  testlab::AddInterface("tvs1", {"172.16.0.9/16"}, false);
    }

    void SetUp() override {
        if (!testlab::PrivateNetworkProblem().empty())
            GTEST_SKIP() << testlab::PrivateNetworkProblem();
        ASSERT_TRUE(s_bMade) << "could not make the extra interfaces";
        m_list = GetNetInterfaces();
    }

    std::vector<NET_INTERFACE> Named(const std::string& strName) const {
        std::vector<NET_INTERFACE> found;
        for (const NET_INTERFACE& entry : m_list)
            if (entry.strName == strName)
                found.push_back(entry);
        return found;
    }

    static bool s_bMade;
    std::vector<NET_INTERFACE> m_list;
};

bool NetInterfacesTest::s_bMade = false;

TEST_F(NetInterfacesTest, EveryAddressOfAnInterfaceIsAnEntryPrimaryFirst) {
    auto workstation = Named("tvd0");
    ASSERT_EQ(workstation.size(), 10u);
    EXPECT_EQ(workstation[0].dwAddr, Addr(testlab::kWorkstation));
    for (const NET_INTERFACE& entry : workstation) {
        EXPECT_EQ(entry.dwIndex, if_nametoindex("tvd0"));
        EXPECT_EQ(entry.dwMask, Addr("255.255.255.0"));
        EXPECT_TRUE(entry.CarriesBroadcast());
    }
}

TEST_F(NetInterfacesTest, FlagsTellWhichInterfacesCarryABroadcast) {
    struct Case {
        const char* name;
        const char* address;
        const char* mask;
        bool up, broadcast, loopback;
    };
    const Case cases[] = {
        {"lo", "127.0.0.1", "255.0.0.0", true, false, true}, // never ours to broadcast on
        {"tvs0", "192.168.77.5", "255.255.255.224", true, true, false}, // a /27, up
        {"tvs1", "172.16.0.9", "255.255.0.0", false, true, false},      // switched off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto entries = Named(c.name);
        ASSERT_EQ(entries.size(), 1u);
        const NET_INTERFACE& entry = entries[0];
        EXPECT_EQ(entry.dwAddr, Addr(c.address));
        EXPECT_EQ(entry.dwMask, Addr(c.mask));
        EXPECT_EQ(entry.dwIndex, if_nametoindex(c.name));
        EXPECT_EQ(entry.bUp != FALSE, c.up);
        EXPECT_EQ(entry.bBroadcast != FALSE, c.broadcast);
        EXPECT_EQ(entry.bLoopback != FALSE, c.loopback);
        EXPECT_EQ(entry.CarriesBroadcast() != FALSE, c.up && c.broadcast && !c.loopback);
    }
}

TEST_F(NetInterfacesTest, SubnetHoldsUnderItsOwnMaskOrTheOneGiven) {
    auto entries = Named("tvs0");
    ASSERT_EQ(entries.size(), 1u);
    const NET_INTERFACE& slash27 = entries[0];
    EXPECT_TRUE(slash27.SubnetHolds(Addr("192.168.77.30")));
    EXPECT_FALSE(slash27.SubnetHolds(Addr("192.168.77.33"))); // same /24, another /27
    EXPECT_TRUE(slash27.SubnetHolds(Addr("192.168.77.33"), Addr("255.255.255.0")));
    EXPECT_FALSE(slash27.SubnetHolds(Addr("192.168.78.5"), Addr("255.255.255.0")));
}

} // namespace
