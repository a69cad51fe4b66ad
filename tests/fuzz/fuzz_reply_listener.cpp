// libFuzzer target: the search's reply listener (UDP 1211) and any datagram at all. The
// datagram leaves an appliance's socket and reaches the program's listener through the
// kernel and the platform's receive; the handler runs from the window's loop as usual.
//
// Properties checked for every input (a violation aborts):
// - at most one new row, at the top, with the sender's address;
// - its host name is at most 40 bytes and is exactly the datagram's text up to its first
//   NUL or its 40th byte, so nothing past the received bytes (nor past the name field)
//   was read: the listener's buffer still holds older datagrams' bytes beyond them;
// - a datagram too long for the 100-byte buffer adds nothing; older rows never change.
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

    fuzzlab::Require(after.size() <= before.size() + 1, "more than one row for one datagram");
    const bool added = after.size() == before.size() + 1;
    const std::size_t kept = added ? 1 : 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        fuzzlab::Require(after[i + kept] == before[i], "an older row changed");
    if (!added)
        return 0;

    fuzzlab::Require(size <= kReplyBuffer, "a row for a datagram longer than the buffer");
    const auto& row = after.front();
    fuzzlab::Require(row.size() == 2, "a row without two columns");
    fuzzlab::Require(row[0] == testlab::ApplianceAddress(1),
                     "the row's address is not the sender's");
    fuzzlab::Require(row[1].size() <= kHostNameField, "a host name longer than 40 bytes");
    fuzzlab::Require(row[1] == fuzzlab::TextUpToNul(datagram, kHostNameField),
                     "the host name is not the datagram's text");
    // Rows are matched by their text with trailing white space removed, in any letter case.
    for (const auto& older : before)
        fuzzlab::Require(!fuzzlab::EqualsIgnoringCase(fuzzlab::TrimmedRight(older[1]), row[1]),
                         "a second row for a listed host name");
    return 0;
}
