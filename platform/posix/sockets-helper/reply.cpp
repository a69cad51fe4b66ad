// Writing and reading tavisol-sockets' reply (see reply.h).
#include "platform/posix/sockets-helper/reply.h"

#include <string_view>

namespace tvhelper {

namespace {
constexpr std::string_view kOk = "ok";
constexpr std::string_view kRefused = "refused ";
constexpr std::string_view kFailed = "failed ";

// A message stays one line whatever the system's words hold.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}
} // namespace

std::string WriteReply(const Reply& reply) {
    switch (reply.outcome) {
    case Reply::Outcome::Ok:
        return std::string(kOk) + "\n";
    case Reply::Outcome::Refused:
        return std::string(kRefused) + OneLine(reply.text) + "\n";
    case Reply::Outcome::Failed:
        return std::string(kFailed) + std::to_string(reply.error) + " " + OneLine(reply.text) +
               "\n";
    }
    return {};
}

std::optional<Reply> ReadReply(std::span<const unsigned char> datagram) {
    std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    text.remove_suffix(1);
    if (text == kOk)
        return Reply{Reply::Outcome::Ok, 0, {}};
    if (text.starts_with(kRefused))
        return Reply{Reply::Outcome::Refused, 0, std::string(text.substr(kRefused.size()))};
    if (!text.starts_with(kFailed))
        return std::nullopt;
    text.remove_prefix(kFailed.size());
    int error = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 5 && text[digits] >= '0' && text[digits] <= '9')
        error = error * 10 + (text[digits++] - '0');
    if (digits == 0 || digits >= text.size() || text[digits] != ' ')
        return std::nullopt;
    return Reply{Reply::Outcome::Failed, error, std::string(text.substr(digits + 1))};
}

} // namespace tvhelper
