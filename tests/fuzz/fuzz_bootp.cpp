// libFuzzer target for proto/: every read-only BOOTP/DHCP operation on an
// arbitrary datagram, and the reply built to it (RFC 951, 2131, 2132).
//
// libFuzzer hands over an exact-size heap copy, so AddressSanitizer reports
// any read past the datagram. Beyond "no crash", properties that must hold
// for every input are checked and abort on violation, so a wrong bound that
// stays inside memory is caught too.
//
//   fuzz_bootp -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#include "proto/bootp.h"
#include "proto/bootp_reply.h"
#include "proto/hwaddr.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
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
    const auto stored = std::make_unique<std::uint8_t[]>(name.size());
    std::copy(name.begin(), name.end(), stored.get());
    return HostNameOptionMatches(buf, std::span<const std::uint8_t>(stored.get(), name.size()));
}

// The reply to the datagram as the responder would send it. The same datagram in the
// cleared receive buffer must get the very same reply, since an unsent byte reads as zero.
void CheckReply(std::span<const std::uint8_t> datagram, std::span<const std::uint8_t> cleared,
                int requestType) {
    constexpr std::uint8_t STALE = 0x5A;
    BootReplyValues values;
    values.yourAddress = {192, 168, 0, 10};
    values.serverAddress = {192, 168, 0, 2};
    values.subnetMask = {255, 255, 255, 0};
    values.router = {192, 168, 0, 1};
    values.requestType = requestType;

    std::array<std::uint8_t, BOOTP_REPLY_SIZE> reply;
    std::array<std::uint8_t, BOOTP_REPLY_SIZE> replyToCleared;
    reply.fill(STALE);
    replyToCleared.fill(STALE);
    const bool built = BuildBootReply(datagram, values, reply);
    Require(built == BuildBootReply(cleared, values, replyToCleared));
    Require(reply == replyToCleared);

    const bool dhcp = requestType == DHCPDISCOVER || requestType == DHCPREQUEST;
    Require(built == (dhcp || requestType == BOOTP_NO_MESSAGE_TYPE));
    if (!built) {
        Require(std::all_of(reply.begin(), reply.end(), [](auto b) { return b == STALE; }));
        return;
    }

    Require(reply[BOOTP_PACKET::OP] == BOOTREPLY);
    Require(reply[BOOTP_PACKET::SECS] == 0 && reply[BOOTP_PACKET::SECS + 1] == 0);
    Require(std::equal(values.yourAddress.begin(), values.yourAddress.end(),
                       reply.begin() + BOOTP_PACKET::YIADDR));
    Require(std::equal(values.serverAddress.begin(), values.serverAddress.end(),
                       reply.begin() + BOOTP_PACKET::SIADDR));
    for (std::size_t i = 1; i < BOOTP_PACKET::OPTIONS; ++i) {
        const bool written = (i >= BOOTP_PACKET::SECS && i < BOOTP_PACKET::FLAGS) ||
                             (i >= BOOTP_PACKET::YIADDR && i < BOOTP_PACKET::GIADDR);
        Require(written || reply[i] == cleared[i]);
    }

    // The project's own option walk has to read the reply back as the options it wrote.
    const std::vector<std::uint8_t> expectedCodes =
        dhcp ? std::vector<std::uint8_t>{OPTION_SUBNET_MASK,   OPTION_ROUTER,
                                         OPTION_MESSAGE_TYPE,  OPTION_SERVER_ID,
                                         OPTION_LEASE_TIME,    OPTION_RENEWAL_TIME,
                                         OPTION_REBINDING_TIME}
             : std::vector<std::uint8_t>{OPTION_SUBNET_MASK, OPTION_ROUTER};
    std::vector<std::uint8_t> codes;
    std::size_t end = BOOTP_PACKET::OPTIONS;
    const BootpWalkEnd how = WalkBootpOptions(reply, [&](const BootpOption& option) {
        codes.push_back(option.code);
        end = option.offset + OPTION_HEADER_SIZE + option.length();
        return BootpWalkStep::Continue;
    });
    Require(how == BootpWalkEnd::EndOption);
    Require(codes == expectedCodes);
    Require(end == (dhcp ? REPLY_OFFSET_END : REPLY_OFFSET_END_NO_TYPE));
    Require(reply[end] == OPTION_END);
    Require(std::all_of(reply.begin() + end + 1, reply.end(), [](auto b) { return b == 0; }));
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
    CheckReply(datagram, cleared, request.messageType);

    // Arbitrary remembered name: the datagram's tail, a length picked by byte 0.
    const std::size_t nameLength = size == 0 ? 0 : std::min<std::size_t>(data[0] % 64, size);
    MatchesOwnValue(datagram, datagram.last(nameLength));

    if (size >= 6) {
        std::array<char, 18> text{};
        FormatHardwareAddress(datagram.first<6>(), text);
        Require(text[HWADDR_TEXT_LENGTH] == '\0');
    }
    return 0;
}
