// Capabilities by the system calls themselves (capget/capset, prctl), so that the helper
// needs no library beyond the C library.
#include "platform/posix/sockets-helper/capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tvhelper {

namespace {

// Version 3 of the interface: 64 capabilities in two 32-bit words per set.
struct CapabilitySets {
    __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3]{};
};

__user_cap_header_struct Header() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0; // this process
    return header;
}

bool Get(CapabilitySets& sets) {
    __user_cap_header_struct header = Header();
    return ::syscall(SYS_capget, &header, sets.words) == 0;
}

bool Set(const CapabilitySets& sets) {
    __user_cap_header_struct header = Header();
    return ::syscall(SYS_capset, &header, sets.words) == 0;
}

bool Holds(unsigned words, int capability) {
    return (words & (1u << (capability % 32))) != 0;
}

} // namespace

bool Permitted(int capability) {
    CapabilitySets sets;
    return Get(sets) && Holds(sets.words[capability / 32].permitted, capability);
}

bool SetEffective(std::initializer_list<int> capabilities) {
    CapabilitySets sets;
    if (!Get(sets))
        return false;
    for (auto& word : sets.words)
        word.effective = 0;
    for (int capability : capabilities) {
        auto& word = sets.words[capability / 32];
        if (Holds(word.permitted, capability))
            word.effective |= 1u << (capability % 32);
    }
    return Set(sets);
}

bool DropAllCapabilities(std::string* why) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = std::string("cannot set no_new_privs: ") + std::strerror(errno);
        return false;
    }
    CapabilitySets none;
    if (!Set(none)) {
        *why = std::string("cannot drop its capabilities: ") + std::strerror(errno);
        return false;
    }
    CapabilitySets now;
    if (!Get(now)) {
        *why = std::string("cannot read its capabilities back: ") + std::strerror(errno);
        return false;
    }
    for (const auto& word : now.words) {
        if (word.effective || word.permitted || word.inheritable) {
            *why = "capabilities still held after dropping them";
            return false;
        }
    }
    // The ambient set cannot outlive an empty permitted set; no_new_privs is read back.
    if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) {
        *why = "no_new_privs did not take hold";
        return false;
    }
    return true;
}

} // namespace tvhelper
