// libFuzzer target: the search's port-67 listener (the "No IP" listing) and any datagram.
// The datagram reaches the listener through the kernel and the platform's receive, as an
// unconfigured appliance's broadcast would.
//
// Properties checked for every input (a violation aborts):
// - a new row only for a datagram of exactly 548 bytes that carries the marker, reading
//   "No IP", at the top; never more than one; older rows never change;
// - its host name is the last option 12 of the datagram cut to 19 bytes (and at a NUL);
// - the host-name and hardware-address arrays stay parallel: they grow together, by one for
//   a new row and not at all otherwise, the new entries being the row's host name and the
//   text of the datagram's first six chaddr bytes.
//
//   fuzz_bootp_listing -max_len=700 -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "proto/bootp.h"
#include "res/resource.h"
#include "tests/fuzz/lab.h"

#include <cstdio>
#include <cstring>
#include <memory>
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

    fuzzlab::Require(arrays.hostNames.size() == arrays.hwAddrs.size(),
                     "the arrays are not parallel");
    fuzzlab::Require(after.size() <= before.size() + 1, "more than one row for one datagram");
    const bool added = after.size() == before.size() + 1;
    const std::size_t kept = added ? 1 : 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        fuzzlab::Require(after[i + kept] == before[i], "an older row changed");
    fuzzlab::Require(arrays.hostNames.size() == arraysBefore.hostNames.size() + kept,
                     "the arrays did not grow with the rows");
    for (std::size_t i = 0; i < arraysBefore.hostNames.size(); ++i)
        fuzzlab::Require(arrays.hostNames[i] == arraysBefore.hostNames[i] &&
                             arrays.hwAddrs[i] == arraysBefore.hwAddrs[i],
                         "an older array entry changed");
    if (!added)
        return 0;

    fuzzlab::Require(size == kRequestSize, "a row for a datagram that is not 548 bytes");
    fuzzlab::Require(CarriesMarker(datagram), "a row for a datagram without the marker");
    const auto& row = after.front();
    fuzzlab::Require(row.size() == 2 && row[0] == "No IP", "the new row does not read No IP");
    const auto name = FindDiscoveryHostName(datagram);
    fuzzlab::Require(name.has_value(), "a row for a request without a host name");
    fuzzlab::Require(row[1] == fuzzlab::TextUpToNul(*name, kHostNameField),
                     "the row's host name is not the request's");
    fuzzlab::Require(arrays.hostNames.back() == row[1], "the array's host name is not the row's");
    fuzzlab::Require(arrays.hwAddrs.back() == HwText(datagram),
                     "the array's hardware address is not the request's");
    return 0;
}
