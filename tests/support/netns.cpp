// Private network namespace for a test process.
#include "tests/support/netns.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace testlab {

namespace {
std::string g_problem = "the private network was not set up";
}

std::string ApplianceAddress(int n) {
    return "10.200.0." + std::to_string(10 + n);
}

std::string EnterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        g_problem =
            std::string("cannot create a network namespace (needs root): ") + std::strerror(errno);
        return g_problem;
    }
    std::string cmd = "ip link set lo up && ip link add tvd0 type veth peer name tvd1 && "
                      "ip addr add 10.200.0.1/24 dev tvd0 && ";
    for (int n = 1; n <= 9; ++n)
        cmd += "ip addr add " + ApplianceAddress(n) + "/24 dev tvd0 && ";
    cmd += "ip link set tvd0 up && ip route add default via 10.200.0.254 dev tvd0 onlink";
    cmd += " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        g_problem = "cannot configure the private network (is iproute2 installed?)";
        return g_problem;
    }
    g_problem.clear();
    return g_problem;
}

const std::string& PrivateNetworkProblem() {
    return g_problem;
}

bool AddInterface(const std::string& name, const std::vector<std::string>& addresses, bool up) {
    std::string cmd = "ip link add " + name + " type veth peer name " + name + "p";
    for (const std::string& address : addresses)
        cmd += " && ip addr add " + address + " brd + dev " + name;
    if (up)
        cmd += " && ip link set " + name + " up";
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

void RemoveInterface(const std::string& name) {
    // Its peer goes with it.
    std::system(("ip link del " + name + " >/dev/null 2>&1").c_str());
}

} // namespace testlab
