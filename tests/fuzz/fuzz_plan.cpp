// libFuzzer target for the plan file and the address range of a batch assignment: text a
// user or a script wrote, read before anything is sent.
//
// Properties checked for every input (a violation aborts):
// - a refused plan says why and holds no rows;
// - an accepted plan has at least one row; every row has a host name, a strict dotted quad
//   for its address (written back in its canonical form), a mask and a gateway that are
//   empty or canonical quads, and a line number that grows from row to row; no two rows
//   share a host name (in any letter case) or an address;
// - an accepted range runs forwards and holds at most the limit of addresses; a refused
//   one says why.
//
//   fuzz_plan -max_len=400 [corpus_dir]
#include "cli/plan.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace {
void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool Canonical(const std::string& text) {
    const auto address = cli::ParseQuad(text);
    return address && cli::QuadText(*address) == text;
}

std::string Folded(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const cli::Plan plan = cli::ParsePlan(text, "255.255.255.0", "");
    if (plan.error) {
        Require(!plan.error->reason.empty() && plan.error->line >= 0);
    } else {
        Require(!plan.rows.empty());
        std::set<std::string> hosts;
        std::set<std::uint32_t> addresses;
        int line = 0;
        for (const cli::PlanRow& row : plan.rows) {
            Require(!row.host.empty() && row.line > line);
            line = row.line;
            Require(Canonical(row.ip));
            Require(row.mask.empty() || Canonical(row.mask));
            Require(row.gateway.empty() || Canonical(row.gateway));
            Require(hosts.insert(Folded(row.host)).second);
            Require(addresses.insert(*cli::ParseQuad(row.ip)).second);
        }
    }

    std::string why;
    if (const auto range = cli::ParseRange(text, why)) {
        Require(range->first <= range->last && range->last - range->first < cli::kMaxRange);
    } else {
        Require(!why.empty());
    }
    return 0;
}
