#include "tests/fuzz/lab.h"

#include "res/resource.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzzlab {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

void EnterLabOrSkip() {
    const std::string problem = testlab::EnterPrivateNetwork();
    if (!problem.empty()) {
        std::fprintf(stderr, "SKIPPED: %s\n", problem.c_str());
        std::exit(77);
    }
}

namespace {
headless::Driver* g_program;
std::atomic<bool> g_stopping{false};

void StopProgram() {
    g_stopping = true;
    for (int i = 0; i < 20 && !g_program->Finished(); ++i)
        g_program->PressEscape();
    g_program->Join(5000);
}
} // namespace

headless::Driver& StartProgram(std::function<int()> uiMain) {
    g_program = new headless::Driver(true);
    g_program->Start(std::move(uiMain));
    std::atexit(StopProgram);
    return *g_program;
}

bool Stopping() {
    return g_stopping;
}

void Searching::NewSearch() {
    Require(driver->Click(IDC_SEARCH), "Search is not enabled");
    // "Search" is given back at the end of its 8-second window.
    driver->StepTime(16 * 500);
}

std::vector<std::vector<std::string>> Searching::RowsStartingOverAt(std::size_t limit) {
    auto rows = driver->Rows(IDC_DEVICE_LIST);
    if (rows.size() < limit)
        return rows;
    NewSearch();
    rows = driver->Rows(IDC_DEVICE_LIST);
    Require(rows.empty(), "a new search keeps rows");
    return rows;
}

Searching& StartSearching(std::function<int()> uiMain, int applianceNumber) {
    static Searching searching; // lives until exit, as the program does
    searching.driver = &StartProgram(std::move(uiMain));
    Require(searching.driver->WaitForDialog(IDD_VELLUMCRESTUI_DIALOG), "no main window");
    searching.appliance =
        std::make_unique<testlab::UdpPeer>(testlab::ApplianceAddress(applianceNumber));
    Require(searching.appliance->ok(), "no appliance socket");
    searching.NewSearch();
    return searching;
}

void Settle(headless::Driver& driver) {
    driver.OnUi([] {});
    driver.WaitIdle();
}

void Deliver(headless::Driver& driver, testlab::UdpPeer& from, int port,
             std::span<const std::uint8_t> datagram) {
    Require(from.SendTo(testlab::kWorkstation, port, Bytes(datagram.begin(), datagram.end())),
            "the datagram could not be sent");
    Settle(driver);
}

std::string TextUpToNul(std::span<const std::uint8_t> bytes, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < limit && bytes[i] != 0; ++i)
        text.push_back(static_cast<char>(bytes[i]));
    return text;
}

std::string TrimmedRight(std::string text) {
    while (!text.empty() &&
           std::string_view(" \t\r\n\v\f").find(text.back()) != std::string_view::npos)
        text.pop_back();
    return text;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace fuzzlab
