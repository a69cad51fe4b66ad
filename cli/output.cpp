// The command line's output formats.
#include "cli/output.h"

#include <algorithm>
#include <cstdint>

#include <nlohmann/json.hpp>

namespace cli {

namespace {
const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
std::size_t SequenceLength(const std::string& s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// nlohmann/json writes "\b" and "\f" in their short forms and DEL as it is; the list has
// always been written with \u0008, \u000c and \u007f, and scripts may compare it byte for
// byte, so those three are rewritten. Outside strings the dump holds none of them.
std::string KeepEscapes(const std::string& dumped) {
    std::string out;
    out.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const char c = dumped[i];
        if (c == '\\' && i + 1 < dumped.size()) {
            const char next = dumped[++i];
            if (next == 'b')
                out += "\\u0008";
            else if (next == 'f')
                out += "\\u000c";
            else
                (out += c) += next;
        } else if (c == 0x7F) {
            out += "\\u007f";
        } else {
            out += c;
        }
    }
    return out;
}

nlohmann::ordered_json JsonOf(const Device& d) {
    nlohmann::ordered_json object;
    object["address"] = ValidUtf8(d.address);
    object["host"] = ValidUtf8(d.host);
    object["hw"] = ValidUtf8(d.hw);
    return object;
}

std::string Dump(const nlohmann::ordered_json& value) {
    // The text is valid UTF-8 already; "replace" only keeps dump() from ever throwing.
    return KeepEscapes(
        value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

std::string CsvField(const std::string& raw) {
    std::string text = ValidUtf8(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Printable(const std::string& raw) {
    std::string text = ValidUtf8(raw);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

// Columns line up by characters, not bytes.
std::size_t DisplayWidth(const std::string& utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}
} // namespace

std::string ValidUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t n = SequenceLength(bytes, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}

std::string ToJson(const std::vector<Device>& devices) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const Device& d : devices)
        array.push_back(JsonOf(d));
    return Dump(array) + "\n";
}

std::string ToJsonLine(const Device& device) {
    return Dump(JsonOf(device)) + "\n";
}

std::string ToCsv(const std::vector<Device>& devices) {
    std::string out = "address,host,hw\r\n";
    for (const Device& d : devices)
        out += CsvField(d.address) + "," + CsvField(d.host) + "," + CsvField(d.hw) + "\r\n";
    return out;
}

std::string ToTable(const std::vector<Device>& devices) {
    if (devices.empty())
        return "No appliances found.\n";
    std::vector<std::vector<std::string>> cells = {{"IP Address", "Host name", "Hardware address"}};
    for (const Device& d : devices)
        cells.push_back({Printable(d.address), Printable(d.host), Printable(d.hw)});
    std::size_t widths[2] = {0, 0};
    for (const auto& row : cells)
        for (std::size_t c = 0; c < 2; ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    std::string out;
    for (const auto& row : cells) {
        std::string line;
        for (std::size_t c = 0; c < 2; ++c)
            line += row[c] + std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        line += row[2];
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace cli
