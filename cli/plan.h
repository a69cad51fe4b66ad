// What `tavisol-cli assign --plan` and `--all --range` are asked to do, read and checked
// before the first datagram goes out: the plan file (CSV after RFC 4180, one appliance a row)
// and the address range. Pure text work, no sockets.
//
// Addresses here are strict dotted quads: four decimal parts of one to three digits, each at
// most 255. The assign dialog would also take octal, hexadecimal and short forms, and reads
// leading zeros as decimal where the classic parser reads octal; in a file written by hand
// or by a script such texts are far more often slips than intent, and one reading is needed
// to compare a planned address with the listed one and to find duplicates. Every strict
// quad means the same address to the dialog, so nothing the dialog accepts is re-read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// One appliance of a plan; the addresses in their canonical dotted form, the mask and the
// gateway empty when neither the row nor the command line gave one.
struct PlanRow {
    int line = 0; // where the row begins in the file, from 1
    std::string host;
    std::string ip, mask, gateway;
};

struct PlanError {
    int line = 0; // 0: the file as a whole
    std::string reason;
};

struct Plan {
    std::vector<PlanRow> rows;
    std::optional<PlanError> error; // set: nothing of the plan may be acted on
};

// A host name as the list compares it: letters folded to lower case, blanks at the end aside.
std::string FoldedName(std::string_view text);

// The address in host byte order, or nothing unless the text is a strict dotted quad.
std::optional<std::uint32_t> ParseQuad(std::string_view text);
std::string QuadText(std::uint32_t address);

// Why a text cannot be an appliance's address, a mask or a gateway; "" when it can. The
// appliance's address follows the dialog's own refusals as well (0.x, 127.x, 224 and up).
std::string WhyNotHostAddress(std::string_view text);
std::string WhyNotMask(std::string_view text);
std::string WhyNotGateway(std::string_view text);

// Reads a plan from its text. Rows without a mask or gateway take the defaults, which the
// caller has checked.
Plan ParsePlan(std::string_view text, const std::string& defaultMask,
               const std::string& defaultGateway);

// The same from a file; an unreadable file is an error of line 0.
Plan ReadPlanFile(const std::string& path, const std::string& defaultMask,
                  const std::string& defaultGateway);

// FIRST-LAST, both full dotted quads, FIRST <= LAST, at most kMaxRange addresses.
struct AddressRange {
    std::uint32_t first = 0, last = 0;
};
inline constexpr std::uint32_t kMaxRange = 1024;
std::optional<AddressRange> ParseRange(std::string_view text, std::string& why);

} // namespace cli
