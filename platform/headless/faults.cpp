// The user-interface failures a test has asked for. Only the user-interface thread takes
// them; a driver sets them before the action that should meet them, through the loop.
#include "platform/headless/faults.h"

#include <map>
#include <mutex>

namespace headless {
namespace {
std::mutex g_mutex;
std::map<std::string, int> g_failures; // call -> remaining count (-1: always)
} // namespace

void InjectUiFailure(const std::string& call, int count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failures[call] = count;
}

bool TakeInjectedUiFailure(const std::string& call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_failures.find(call);
    if (it == g_failures.end())
        return false;
    if (it->second > 0 && --it->second == 0)
        g_failures.erase(it);
    return true;
}

void ClearUiFailures() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failures.clear();
}
} // namespace headless
