// The fixture of the dialog-level tests: the program's own start-up (AfxWinMain and the
// application object) on the headless back end with the virtual clock, inside the test
// process's private network, with the main window open.
#pragma once

#include "app/Globals.h"
#include "app/TavisolApp.h"
#include "platform/headless/driver.h"
#include "platform/posix_sockets.h"
#include "res/resource.h"
#include "tests/support/netns.h"

#include <gtest/gtest.h>
#include <memory>

namespace testlab {

class AppSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateNetworkProblem().empty())
            GTEST_SKIP() << PrivateNetworkProblem();
        driver = std::make_unique<headless::Driver>(true);
        g_hBootpSearchSocket = 0;
        BeforeStart();
        // The program's own start-up, with its one application object.
        driver->Start(TavisolMain);
        ASSERT_TRUE(driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG));
    }

    void TearDown() override { driver.reset(); }

    // For a test that must set something up before the window opens.
    virtual void BeforeStart() {}

    // The main window's rows, top to bottom.
    std::vector<std::vector<std::string>> Rows() { return driver->Rows(IDC_DEVICE_LIST); }

    // Waits until the list has n rows.
    bool WaitForRows(std::size_t n, int timeoutMs = 3000) {
        return driver->WaitUntil([this, n] { return RowsNow() == n; }, timeoutMs);
    }

    std::size_t RowsNow();

    std::unique_ptr<headless::Driver> driver;
};

// Whether a window's centre is that of another rectangle, to the pixel that halving an odd
// size loses.
::testing::AssertionResult CentredOn(const RECT& window, const RECT& on);

} // namespace testlab
