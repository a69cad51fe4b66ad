// Failures a test can ask the headless user-interface calls to make (SetTimer), beside the
// socket failures of platform/posix.
#pragma once

#include <string>

namespace headless {
void InjectUiFailure(const std::string& call, int count = 1);
// True when the named call should fail now; counts the failure down.
bool TakeInjectedUiFailure(const std::string& call);
void ClearUiFailures();
} // namespace headless
