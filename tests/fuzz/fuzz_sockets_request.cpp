// libFuzzer target for the request reader of tavisol-sockets, the one code of the privileged
// helper that reads bytes a local user chose.
//
// Properties checked for every input (a violation aborts):
// - an accepted request is the input's one spelling: written again it gives back exactly
//   the input, and its interface name (ARP only) is valid;
// - a refused one says why;
// - the program's reply reader never reads out of bounds, and a reply it accepts reads the
//   same once written again.
//
//   fuzz_sockets_request -max_len=100 [corpus_dir]
#include "platform/posix/sockets-helper/reply.h"
#include "platform/posix/sockets-helper/request.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void Require(bool condition) {
    if (!condition)
        std::abort();
}

std::span<const unsigned char> Bytes(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const unsigned char> input(data, size);
    const tvhelper::RequestReading reading = tvhelper::ReadRequest(input);
    if (reading.request) {
        Require(reading.refusal.empty());
        const std::string again = tvhelper::WriteRequest(*reading.request);
        Require(again == std::string(reinterpret_cast<const char*>(data), size));
        Require((reading.request->kind == tvhelper::SocketKind::ArpPacket) ==
                !reading.request->interface.empty());
        if (reading.request->kind == tvhelper::SocketKind::ArpPacket)
            Require(tvhelper::IsValidInterfaceName(reading.request->interface));
    } else {
        Require(!reading.refusal.empty());
    }

    if (const auto reply = tvhelper::ReadReply(input)) {
        const auto back = tvhelper::ReadReply(Bytes(tvhelper::WriteReply(*reply)));
        Require(back && back->outcome == reply->outcome && back->error == reply->error);
    }
    return 0;
}
