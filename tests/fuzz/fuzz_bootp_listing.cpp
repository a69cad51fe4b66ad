// libFuzzer target: the search's port-67 listener (the "No IP" listing) and any datagram.
// The datagram reaches the listener through the kernel and the platform's receive, as an
// unconfigured appliance's broadcast would.
//
// What a datagram must list is worked out here from its bytes, with a reader of this file's
// own (never proto/'s). Properties checked for every input (a violation aborts):
// - a datagram of exactly 548 bytes that carries the marker and a host name (option 12)
//   that no row shows adds exactly one row, reading "No IP", at the top; any other adds
//   none; older rows never change;
// - its host name is the last option 12 of the datagram cut to 19 bytes (and at a NUL);
// - the host-name and hardware-address arrays stay parallel: they grow together, by one for
//   a new row and not at all otherwise, the new entries being the row's host name and the
//   text of the datagram's first six chaddr bytes.
//
//   fuzz_bootp_listing -max_len=700 -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "res/resource.h"
#include "tests/fuzz/lab.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kRequestSize = 548;
constexpr std::size_t kHostNameField = 19;
constexpr std::size_t kRowsBeforeNewSearch = 32;

// The window's protected arrays, reached through member pointers formed in a derived class.
struct Peek : CVellumcrestUIDlg {
    static auto HostNames() { return &Peek::m_arrHostNames; }
    static auto HwAddrs() { return &Peek::m_arrHwAddrs; }
};

struct Arrays {
    std::vector<std::string> hostNames;
    std::vector<std::string> hwAddrs;
};

fuzzlab::Searching* g_program;

Arrays ReadArrays() {
    Arrays arrays;
    g_program->driver->OnUi([&] {
        auto& window = *static_cast<CVellumcrestUIDlg*>(AfxGetApp()->m_pMainWnd);
        const CStringArray& names = window.*Peek::HostNames();
        const CStringArray& hw = window.*Peek::HwAddrs();
        for (int i = 0; i < names.GetSize(); ++i)
            arrays.hostNames.push_back(names[i].str());
        for (int i = 0; i < hw.GetSize(); ++i)
            arrays.hwAddrs.push_back(hw[i].str());
    });
    return arrays;
}

// The marker's first 19 characters, starting anywhere in file or after it, within the
// 548 bytes (written out here rather than taken from proto/).
bool CarriesMarker(std::span<const std::uint8_t> request) {
    const char full[] = "Kestova Vellumcrest";
    constexpr std::size_t n = sizeof full - 1;
    for (std::size_t at = 108; at + n <= request.size() && at + n <= kRequestSize; ++at)
        if (std::memcmp(request.data() + at, full, n) == 0)
            return true;
    return false;
}

// The value of the last option 12 before End, walking from offset 240 within the 548 bytes:
// a pad is one byte, any other option its code, its length and that many bytes. An option
// whose value would run past the 548 bytes ends the walk without being taken.
std::optional<std::span<const std::uint8_t>> LastHostName(std::span<const std::uint8_t> request) {
    std::optional<std::span<const std::uint8_t>> name;
    const std::size_t end = std::min(request.size(), kRequestSize);
    for (std::size_t at = 240; at < end;) {
        const std::uint8_t code = request[at];
        if (code == 0) {
            ++at;
            continue;
        }
        if (code == 255 || at + 1 >= end || at + 2 + request[at + 1] > end)
            break;
        const std::size_t length = request[at + 1];
        if (code == 12)
            name = request.subspan(at + 2, length);
        at += 2 + length;
    }
    return name;
}

std::string HwText(std::span<const std::uint8_t> request) {
    char text[18];
    const std::uint8_t* b = request.data() + 28;
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4],
                  b[5]);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzlab::EnterLabOrSkip();
    g_program = &fuzzlab::StartSearching(TavisolMain, 9);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzzlab::kMaxDatagram)
        return 0;
    const std::span<const std::uint8_t> datagram(data, size);

    const auto before = g_program->RowsStartingOverAt(kRowsBeforeNewSearch);
    const Arrays arraysBefore = ReadArrays();
    fuzzlab::Require(arraysBefore.hostNames.size() == arraysBefore.hwAddrs.size(),
                     "the arrays are not parallel");

    fuzzlab::Deliver(*g_program->driver, *g_program->appliance, 67, datagram);
    const auto after = g_program->driver->Rows(IDC_DEVICE_LIST);
    const Arrays arrays = ReadArrays();

    // What the datagram must do, from its own bytes.
    const auto fullName = LastHostName(datagram);
    const std::string name = fullName ? fuzzlab::TextUpToNul(*fullName, kHostNameField) : "";
    bool listed = false;
    for (const auto& older : before)
        listed = listed || fuzzlab::EqualsIgnoringCase(fuzzlab::TrimmedRight(older[1]), name);
    const bool mustAdd = size == kRequestSize && CarriesMarker(datagram) && fullName && !listed;

    fuzzlab::Require(arrays.hostNames.size() == arrays.hwAddrs.size(),
                     "the arrays are not parallel");
    fuzzlab::Require(after.size() == before.size() + (mustAdd ? 1 : 0),
                     mustAdd ? "no row for a marked request of a new host"
                             : "a row for a datagram that must not add one");
    const std::size_t kept = mustAdd ? 1 : 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        fuzzlab::Require(after[i + kept] == before[i], "an older row changed");
    fuzzlab::Require(arrays.hostNames.size() == arraysBefore.hostNames.size() + kept,
                     "the arrays did not grow with the rows");
    for (std::size_t i = 0; i < arraysBefore.hostNames.size(); ++i)
        fuzzlab::Require(arrays.hostNames[i] == arraysBefore.hostNames[i] &&
                             arrays.hwAddrs[i] == arraysBefore.hwAddrs[i],
                         "an older array entry changed");
    if (!mustAdd)
        return 0;

    const auto& row = after.front();
    fuzzlab::Require(row.size() == 2 && row[0] == "No IP", "the new row does not read No IP");
    fuzzlab::Require(row[1] == name, "the row's host name is not the request's");
    fuzzlab::Require(arrays.hostNames.back() == row[1], "the array's host name is not the row's");
    fuzzlab::Require(arrays.hwAddrs.back() == HwText(datagram),
                     "the array's hardware address is not the request's");
    return 0;
}
