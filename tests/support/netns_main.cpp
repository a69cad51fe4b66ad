// Test entry point for suites that open sockets: the process first moves into a private
// network namespace of its own, so nothing it sends can reach a real interface.
#include "tests/support/netns.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testlab::EnterPrivateNetwork();
    return RUN_ALL_TESTS();
}
