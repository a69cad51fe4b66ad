// libFuzzer target for proto/: every read-only BOOTP/DHCP operation on an
// arbitrary datagram (RFC 951, 2131, 2132).
//
// libFuzzer hands over an exact-size heap copy, so AddressSanitizer reports
// any read past the datagram. Beyond "no crash", properties that must hold
// for every input are checked and abort on violation, so a wrong bound that
// stays inside memory is caught too.
//
//   fuzz_bootp -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#include "proto/bootp.h"
#include "proto/hwaddr.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The datagram as the server sees it: copied into a cleared receive buffer.
std::array<std::uint8_t, BOOTP_RECV_SIZE> InReceiveBuffer(std::span<const std::uint8_t> datagram) {
    std::array<std::uint8_t, BOOTP_RECV_SIZE> buffer{};
    const std::size_t n = std::min(datagram.size(), buffer.size());
    std::copy_n(datagram.begin(), n, buffer.begin());
    return buffer;
}

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.data() >= whole.data() && part.size() <= whole.size() &&
           part.data() - whole.data() <= static_cast<std::ptrdiff_t>(whole.size() - part.size());
}

bool MatchesOwnValue(std::span<const std::uint8_t> buf, std::span<const std::uint8_t> name) {
    // Exact-size copy so a read past the remembered name is reported.
    const auto stored = std::make_unique<char[]>(name.size());
    std::copy(name.begin(), name.end(), stored.get());
    return HostNameOptionMatches(buf, std::string_view(stored.get(), name.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    const std::span<const std::uint8_t> area = datagram.first(std::min(size, BOOTP_RECV_SIZE));
    const auto cleared = InReceiveBuffer(datagram);

    // Zeros can neither complete a request nor a marker, so the short datagram
    // and the cleared buffer holding it must agree.
    Require(IsBootRequest(datagram) == IsBootRequest(cleared));
    Require(HasBootpMarker(datagram) == HasBootpMarker(cleared));

    std::size_t nextOffset = BOOTP_PACKET::OPTIONS;
    WalkBootpOptions(datagram, [&](const BootpOption& option) {
        Require(option.offset >= nextOffset);
        Require(option.code != OPTION_PAD && option.code != OPTION_END);
        Require(option.value.data() == data + option.offset + OPTION_HEADER_SIZE);
        Require(Inside(option.value, area));
        nextOffset = option.offset + OPTION_HEADER_SIZE + option.length();
        return BootpWalkStep::Continue;
    });

    // A host name found by either reader is an option 12 of this datagram,
    // so comparing the datagram with that very name must match.
    if (const auto name = FindDiscoveryHostName(datagram)) {
        Require(Inside(*name, area));
        Require(MatchesOwnValue(datagram, *name));
    }
    const BootRequestOptions request = ReadBootRequest(datagram);
    Require(request.messageType >= BOOTP_NO_MESSAGE_TYPE && request.messageType <= 255);
    if (request.hostName) {
        Require(Inside(*request.hostName, area));
        Require(MatchesOwnValue(datagram, *request.hostName));
    }

    // Arbitrary remembered name: the datagram's tail, a length picked by byte 0.
    const std::size_t nameLength = size == 0 ? 0 : std::min<std::size_t>(data[0] % 64, size);
    MatchesOwnValue(datagram, datagram.last(nameLength));

    Require(HardwareAddressText(datagram) == HardwareAddressText(cleared));
    Require(HardwareAddressText(datagram).size() == HWADDR_TEXT_LENGTH);
    if (size >= 6) {
        std::array<char, 18> text{};
        FormatHardwareAddress(datagram.first<6>(), text);
        Require(text[HWADDR_TEXT_LENGTH] == '\0');
    }
    return 0;
}
