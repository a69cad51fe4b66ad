// How tavisol-cli prints the device list: a table for people, JSON for scripts.
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

// A JSON array of {"address", "host", "hw"} objects, in list order, one line.
std::string ToJson(const std::vector<Device>& devices);

// A plain table with a heading line; control characters show as '?'.
std::string ToTable(const std::vector<Device>& devices);

} // namespace cli
