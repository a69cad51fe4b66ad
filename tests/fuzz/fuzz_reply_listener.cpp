// libFuzzer target: the search's reply listener (UDP 1211) and any datagram at all. The
// datagram leaves an appliance's socket and reaches the program's listener through the
// kernel and the platform's receive; the handler runs from the window's loop as usual.
//
// Properties checked for every input (a violation aborts):
// - a datagram that fits the 100-byte buffer and names a host that no row shows (rows are
//   matched by their text with trailing white space removed, in any letter case) adds
//   exactly one row, at the top, with the sender's address; any other adds none;
// - that row's host name is exactly the datagram's text up to its first NUL or its 40th
//   byte, so nothing past the received bytes (nor past the name field) was read: the
//   listener's buffer still holds older datagrams' bytes beyond them;
// - older rows never change.
//
//   fuzz_reply_listener -max_len=200 [corpus_dir]
#include "app/TavisolApp.h"
#include "app/VellumcrestUIDlg.h"
#include "res/resource.h"
#include "tests/fuzz/lab.h"

#include <memory>

namespace {

constexpr std::size_t kReplyBuffer = 100;
constexpr std::size_t kHostNameField = 40;
constexpr std::size_t kRowsBeforeNewSearch = 32;

fuzzlab::Searching* g_program;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzlab::EnterLabOrSkip();
    g_program = &fuzzlab::StartSearching(TavisolMain, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzzlab::kMaxDatagram)
        return 0;
    const std::span<const std::uint8_t> datagram(data, size);

    const auto before = g_program->RowsStartingOverAt(kRowsBeforeNewSearch);
    fuzzlab::Deliver(*g_program->driver, *g_program->appliance, CLIENT_PORT, datagram);
    const auto after = g_program->driver->Rows(IDC_DEVICE_LIST);

    // What the datagram must do, from its own bytes.
    const std::string name = fuzzlab::TextUpToNul(datagram, kHostNameField);
    bool listed = false;
    for (const auto& older : before)
        listed = listed || fuzzlab::EqualsIgnoringCase(fuzzlab::TrimmedRight(older[1]), name);
    const bool mustAdd = size <= kReplyBuffer && !listed;

    fuzzlab::Require(after.size() == before.size() + (mustAdd ? 1 : 0),
                     mustAdd ? "no row for a reply that names a new host"
                             : "a row for a datagram that must not add one");
    const std::size_t kept = mustAdd ? 1 : 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        fuzzlab::Require(after[i + kept] == before[i], "an older row changed");
    if (!mustAdd)
        return 0;

    const auto& row = after.front();
    fuzzlab::Require(row.size() == 2, "a row without two columns");
    fuzzlab::Require(row[0] == testlab::ApplianceAddress(1),
                     "the row's address is not the sender's");
    fuzzlab::Require(row[1] == name, "the host name is not the datagram's text");
    return 0;
}
