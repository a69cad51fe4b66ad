// How tavisol-cli prints the device list: a table for people, JSON and CSV for scripts.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct Device {
    std::string address; // "No IP" for an appliance without an address
    std::string host;
    std::string hw; // hardware-address text of a "No IP" row, else empty
};

// Bytes that are not valid UTF-8 become U+FFFD, so the text is always valid UTF-8.
std::string ValidUtf8(const std::string& bytes);

// A JSON array of {"address", "host", "hw"} objects, in list order, one line. Strings are
// valid UTF-8 (see ValidUtf8); control characters and DEL are escaped, as \uXXXX in lower
// case where JSON has no short form, and "\b" and "\f" are written \u0008 and \u000c.
std::string ToJson(const std::vector<Device>& devices);

// One element of that array alone, with "\n": a line of `search --watch`.
std::string ToJsonLine(const Device& device);

// CSV after RFC 4180: the header "address,host,hw", then one record per row, each line
// ended by CRLF. A field holding a comma, a quote, CR or LF is quoted, its quotes doubled;
// text is made valid UTF-8 as in ToJson.
std::string ToCsv(const std::vector<Device>& devices);

// Writes the whole text to the descriptor (write(2) until done or it fails): one call per
// text, so that a line reaches a pipe whole and at once.
void WriteAll(int fd, const std::string& text);

// A plain table with a heading line; control characters show as '?'.
std::string ToTable(const std::vector<Device>& devices);

} // namespace cli
