// The command line of the simulator's two appliance modes (--configured, --unconfigured):
// what each knob means and how it is read. The load modes (swarm.cpp) and --hostile
// (hostile.cpp) read their own.
#pragma once

#include "packet.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

constexpr const char* kProg = "tavisol-sim";
constexpr const char* kDefaultMarker = "Kestova Vellumcrest2";

enum class Mode { Unset, Configured, Unconfigured };

struct Options {
    Mode mode = Mode::Unset;
    std::optional<Bytes> name;
    std::optional<Mac> hw;
    std::string iface = "eth0";
    std::optional<unsigned long> count;
    std::optional<unsigned long> duration_ms;
    bool verbose = false;

    // configured
    std::uint16_t port = 1212;
    std::uint16_t reply_port = 1211;
    unsigned long reply_delay_ms = 0;
    std::optional<std::size_t> reply_length;
    bool no_nul = false;
    unsigned long repeat = 1;

    // unconfigured
    unsigned long interval_ms = 500;
    std::optional<std::size_t> length;
    std::uint8_t op = 1;
    bool bad_cookie = false;
    int name_option_count = 1;
    Bytes second_name{'S', 'E', 'C', 'O', 'N', 'D', '-', 'N', 'A', 'M', 'E'};
    bool option_after_end = false;
    std::optional<MarkerPlace> marker_place;
    std::uint8_t marker_option = 60;
    std::size_t marker_offset = 0;
    Bytes marker{kDefaultMarker, kDefaultMarker + 20};
    bool also_request = false;
    bool ignore_offers = false;
    bool no_request = false;
    std::optional<std::string> status_file;
    // Time from the ACK until the address is up; nullopt: never.
    std::optional<unsigned long> up_delay_ms = 0;
    bool pre_address_set = false;
    std::uint32_t pre_address = 0;
    int pre_prefix = -1; // -1: no address at all
};

// Reads the command line; throws UsageError for anything it cannot use. --help prints the
// usage text and exits 0.
Options parse_options(int argc, char** argv);

std::string mac_text(const Mac& m);
Bytes to_bytes(const char* s);

} // namespace sim
