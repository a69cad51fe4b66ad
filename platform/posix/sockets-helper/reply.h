// tavisol-sockets' one answer to the program: a single line of ASCII in one datagram, the
// socket itself travelling with it as SCM_RIGHTS.
//
//   reply = "ok" LF                          the descriptor comes with it
//         | "refused " text LF               the request is not one tavisol-sockets serves
//         | "failed " errno " " text LF      the system would not open the socket (errno
//                                            in decimal, text for a person)
#pragma once

#include <optional>
#include <span>
#include <string>

namespace tvhelper {

struct Reply {
    enum class Outcome { Ok, Refused, Failed };
    Outcome outcome = Outcome::Refused;
    int error = 0;    // Failed: the errno of the call that failed
    std::string text; // Refused, Failed: why
};

std::string WriteReply(const Reply& reply);
std::optional<Reply> ReadReply(std::span<const unsigned char> datagram);

} // namespace tvhelper
