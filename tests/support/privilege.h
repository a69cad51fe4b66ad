// An ordinary user and a capable tavisol-sockets for the tests of the privileged sockets.
//
// The test process runs as root in its private network namespace. The helper of the build
// tree holds no capability, so a copy of it gets them (setcap) in a folder of its own; code
// that must meet the kernel's refusals runs in a child process as the user nobody.
#pragma once

#include <functional>
#include <string>

namespace testlab {

// A copy of the built tavisol-sockets with cap_net_bind_service and cap_net_raw, that
// nobody may run; empty with `problem` filled where that cannot be had or the test's private
// network is missing (no root, no setcap). Made once per process, removed at its exit.
std::string CapableHelper(std::string* problem);

// Runs `check` in a child process as nobody (uid and gid 65534, no supplementary group) and
// returns what it returned: empty for success, else what went wrong. A crash or a failure to
// drop to nobody is reported as such.
std::string AsNobody(const std::function<std::string()>& check);

// Sets a sysctl of the test's own network namespace (e.g. "net/ipv4/ping_group_range").
bool SetNetworkSysctl(const std::string& name, const std::string& value);

} // namespace testlab
