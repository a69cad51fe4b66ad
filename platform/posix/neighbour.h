// The kernel's neighbour table, read by rtnetlink (RTM_GETNEIGH), which every user may do:
// the ARP half of the in-use check for a user without a packet socket. Sending a datagram to
// an address on the link makes the kernel resolve it by ARP; an entry that then holds a
// hardware address says some machine answers for it.
#pragma once

#include <cstdint>
#include <span>

namespace tvposix {

// Whether the replies of a neighbour dump (a run of netlink messages, as received) hold an
// entry for `address` (network order) on interface `ifIndex` with a hardware address that
// the kernel has or had confirmed: reachable, stale, delayed or being probed again, or set
// by hand. Entries still resolving, failed or without a hardware address do not count.
//
// A stale entry may be minutes old; it still counts, because an address that answered that
// recently is more likely taken than free, and refusing it costs the user one retry.
bool NeighbourDumpShowsInUse(std::span<const std::uint8_t> replies, std::uint32_t ifIndex,
                             std::uint32_t address);

// Asks the kernel for its neighbour table and decides as above. False when the table cannot
// be read.
bool NeighbourShowsInUse(std::uint32_t ifIndex, std::uint32_t address);

} // namespace tvposix
