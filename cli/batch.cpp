// A batch of assignments: the first search, the decision for each appliance, one assignment
// after the other, and the report.
#include "cli/batch.h"

#include "cli/output.h"
#include "cli/plan.h"
#include "cli/session.h"
#include "platform/netif.h"
#include "proto/address.h"
#include "res/resource.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <unistd.h>

namespace cli {

namespace {

// One appliance of the batch and, once it is done, how it ended.
struct Item {
    std::string host;
    std::string ip, mask, gateway; // ip empty: --all picks one from the range
    std::string hw;
    std::string address; // the address it was given, holds already, or was tried last
    std::string result;
    std::string reason;
    double seconds = 0;
    bool assign = false;     // needs an assignment (else it ended in the first search)
    bool listedNoIp = false; // the first search listed it without an address
    std::string listedAt;    // ... or at another address than the planned one
};

int Usage(const std::string& reason) {
    std::fprintf(stderr, "tavisol-cli: %s\n", reason.c_str());
    return 2;
}

bool SameHost(const std::string& a, const std::string& b) {
    return FoldedName(a) == FoldedName(b);
}

// The address of a listed row in host byte order; nothing for "No IP".
std::optional<std::uint32_t> ListedAddress(const std::string& cell) {
    if (IsNoIp(cell))
        return std::nullopt;
    auto bytes = ParseDottedAddress(cell);
    if (!bytes)
        return std::nullopt;
    return static_cast<std::uint32_t>((*bytes)[0]) << 24 | (*bytes)[1] << 16 | (*bytes)[2] << 8 |
           (*bytes)[3];
}

std::string ResultName(AssignResult result) {
    switch (result) {
    case AssignResult::Confirmed:
        return "confirmed";
    case AssignResult::Acknowledged:
        return "acknowledged";
    case AssignResult::NotFound:
        return "not found";
    case AssignResult::Refused:
    case AssignResult::InUse:
        return "refused";
    case AssignResult::TimedOut:
        return "timed out";
    case AssignResult::NotConfirmed:
        return "not confirmed";
    case AssignResult::Failed:
        break;
    }
    return "failed";
}

bool Succeeded(const Item& item) {
    return item.result == "confirmed" || item.result == "already" ||
           item.result == "acknowledged" || item.result == "would assign";
}

// Control characters of a listed name would break the lines and the table.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

class Reporter {
public:
    Reporter(bool json, std::size_t total)
        : m_fd(json ? STDERR_FILENO : ListOutput()), m_total(total) {}

    void Done(const Item& item) {
        std::string line = "[" + std::to_string(++m_done) + "/" + std::to_string(m_total) + "] " +
                           Printable(item.host) + ": " + item.result;
        if (!item.address.empty())
            line += ", " + item.address;
        if (item.assign && item.result != "would assign")
            line += ", " + Seconds(item.seconds) + " s";
        if (!item.reason.empty())
            line += ": " + Printable(item.reason);
        WriteAll(m_fd, line + "\n");
    }

private:
    int m_fd;
    std::size_t m_total;
    std::size_t m_done = 0;
};

std::string Table(const std::vector<Item>& items) {
    const std::vector<std::string> heading = {"HOST",   "HARDWARE ADDRESS", "ADDRESS",
                                              "RESULT", "SECONDS",          "REASON"};
    std::vector<std::vector<std::string>> cells = {heading};
    for (const Item& item : items)
        cells.push_back({Printable(item.host), item.hw.empty() ? "-" : item.hw,
                         item.address.empty() ? "-" : item.address, item.result,
                         Seconds(item.seconds), Printable(item.reason)});
    std::vector<std::size_t> widths(heading.size(), 0);
    for (const auto& row : cells)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string text;
    for (const auto& row : cells) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + "\n";
    }
    return text;
}

std::string Json(const std::vector<Item>& items, bool dryRun, bool ok) {
    nlohmann::json rows = nlohmann::json::array();
    for (const Item& item : items)
        rows.push_back({{"host", ValidUtf8(item.host)},
                        {"hw", item.hw},
                        {"address", item.address},
                        {"result", item.result},
                        {"reason", ValidUtf8(item.reason)},
                        {"seconds", std::round(item.seconds * 10) / 10}});
    nlohmann::json report = {{"dry_run", dryRun}, {"ok", ok}, {"appliances", rows}};
    // Names from the LAN or the plan need not be UTF-8: they are written as the search's JSON
    // writes them, with U+FFFD for what is not (above), so the dump cannot meet invalid text.
    return report.dump() + "\n";
}

// The first search: the whole window, or for a plan until every planned host is listed
// either without an address or at its planned address (nothing more is to be learnt then).
std::vector<Device> FirstSearch(const std::vector<Item>& planned, bool& opened) {
    Session session;
    opened = session.Open();
    if (!opened)
        return {};
    session.driver().Click(IDC_SEARCH);
    auto allSeen = [&planned] {
        if (planned.empty())
            return false;
        const ListRows rows = RowsNow();
        return std::all_of(planned.begin(), planned.end(), [&rows](const Item& item) {
            return std::any_of(rows.begin(), rows.end(), [&item](const auto& row) {
                return SameHost(row[1], item.host) &&
                       (IsNoIp(row[0]) || ListedAddress(row[0]) == ParseQuad(item.ip));
            });
        });
    };
    session.WaitForRow(allSeen, -1);
    std::vector<Device> devices = ReadDevices(session.driver());
    session.Close();
    return devices;
}

// A row without a mask, and no --mask: the mask of the workstation's interface whose subnet
// holds the address, as whoever types the addresses of a rack reads it off that interface.
// An empty mask would reach the appliance as 0.0.0.0, which no appliance can bring an
// address up with. Empty (the dialog's empty field) when no interface's subnet holds it.
std::string FacingMask(const std::string& ip) {
    const DWORD dwAddr = inet_addr(ip.c_str());
    for (const NET_INTERFACE& entry : GetNetInterfaces()) {
        if (!entry.CarriesBroadcast() || entry.dwMask == 0 ||
            ((entry.dwAddr ^ dwAddr) & entry.dwMask) != 0)
            continue;
        in_addr mask{};
        mask.s_addr = entry.dwMask;
        return inet_ntoa(mask);
    }
    return "";
}

AssignRequest RequestFor(const BatchOptions& options, const Item& item, const std::string& ip) {
    AssignRequest request = options.request;
    request.host = item.host;
    request.ip = ip;
    request.mask = item.mask.empty() ? FacingMask(ip) : item.mask;
    request.gateway = item.gateway;
    return request;
}

void Record(Item& item, const AssignOutcome& outcome) {
    item.result = ResultName(outcome.result);
    item.reason = outcome.reason;
    if (!outcome.hw.empty())
        item.hw = outcome.hw;
}

// Whether an offer for the address may have reached an appliance: such an address is not
// given to the next one.
bool MayHaveBeenOffered(AssignResult result) {
    return result != AssignResult::NotFound && result != AssignResult::Refused;
}

} // namespace

int RunBatch(const BatchOptions& options) {
    const bool planned = !options.plan.empty();
    if (planned && options.all)
        return Usage("--plan and --all exclude each other");
    if (!planned && !options.all)
        return Usage(options.range.empty() ? "--dry-run and --json apply to --plan or --all only"
                                           : "--range needs --all");
    if (!options.request.host.empty() || options.haveIp)
        return Usage(std::string(planned ? "--plan" : "--all") +
                     " takes no HOST and no --ip: the " +
                     (planned ? "plan names them" : "range gives the addresses"));
    if (options.all != !options.range.empty())
        return Usage(options.all ? "--all needs --range FIRST-LAST" : "--range needs --all");
    if (!options.request.mask.empty())
        if (std::string why = WhyNotMask(options.request.mask); !why.empty())
            return Usage("--mask: " + why);
    if (!options.request.gateway.empty())
        if (std::string why = WhyNotGateway(options.request.gateway); !why.empty())
            return Usage("--gateway: " + why);
    const std::string mask =
        options.request.mask.empty() ? "" : QuadText(*ParseQuad(options.request.mask));
    const std::string gateway =
        options.request.gateway.empty() ? "" : QuadText(*ParseQuad(options.request.gateway));

    std::vector<Item> items;
    AddressRange range;
    if (planned) {
        Plan plan = ReadPlanFile(options.plan, mask, gateway);
        if (plan.error) {
            // "FILE:N:" for editors that jump to it, and the line in words for whoever reads it.
            const std::string line = std::to_string(plan.error->line);
            return Usage(options.plan +
                         (plan.error->line ? ":" + line + ": line " + line + " is refused" : "") +
                         ": " + plan.error->reason + "; nothing was sent");
        }
        for (const PlanRow& row : plan.rows) {
            Item item;
            item.host = row.host;
            item.ip = item.address = row.ip;
            item.mask = row.mask;
            item.gateway = row.gateway;
            items.push_back(item);
        }
    } else {
        std::string why;
        auto parsed = ParseRange(options.range, why);
        if (!parsed)
            return Usage("--range: " + why);
        range = *parsed;
    }

    bool opened = false;
    const std::vector<Device> listed = FirstSearch(items, opened);
    if (!opened)
        return 1;

    std::set<std::uint32_t> taken; // addresses the search showed held, and those given out
    for (const Device& device : listed)
        if (auto address = ListedAddress(device.address))
            taken.insert(*address);

    if (planned) {
        for (Item& item : items) {
            auto at = std::find_if(listed.begin(), listed.end(), [&item](const Device& d) {
                return SameHost(d.host, item.host) &&
                       ListedAddress(d.address) == ParseQuad(item.ip);
            });
            if (at != listed.end()) {
                item.result = "already";
                continue;
            }
            item.assign = true;
            auto noIp = std::find_if(listed.begin(), listed.end(), [&item](const Device& d) {
                return SameHost(d.host, item.host) && IsNoIp(d.address);
            });
            if (noIp != listed.end()) {
                item.hw = noIp->hw;
                item.listedNoIp = true;
            }
            auto elsewhere = std::find_if(listed.begin(), listed.end(), [&item](const Device& d) {
                return SameHost(d.host, item.host) && ListedAddress(d.address);
            });
            if (elsewhere != listed.end())
                item.listedAt = elsewhere->address;
        }
    } else {
        std::vector<Device> unconfigured;
        for (const Device& device : listed)
            if (IsNoIp(device.address) &&
                std::none_of(unconfigured.begin(), unconfigured.end(),
                             [&device](const Device& d) { return SameHost(d.host, device.host); }))
                unconfigured.push_back(device);
        std::stable_sort(unconfigured.begin(), unconfigured.end(),
                         [](const Device& a, const Device& b) {
                             const std::string fa = FoldedName(a.host), fb = FoldedName(b.host);
                             return fa != fb ? fa < fb : a.host < b.host;
                         });
        for (const Device& device : unconfigured) {
            Item item;
            item.host = device.host;
            item.hw = device.hw;
            item.mask = mask;
            item.gateway = gateway;
            item.assign = true;
            items.push_back(item);
        }
    }

    Reporter reporter(options.json, items.size());
    // The range's next address not known to be held; the in-use check decides the rest.
    std::uint64_t next = range.first;
    std::optional<std::uint32_t> candidate;
    auto nextFree = [&]() -> std::optional<std::uint32_t> {
        if (!candidate)
            while (next <= range.last)
                if (!taken.count(static_cast<std::uint32_t>(next++))) {
                    candidate = static_cast<std::uint32_t>(next - 1);
                    break;
                }
        return candidate;
    };

    for (Item& item : items) {
        if (!item.assign) {
            reporter.Done(item);
            continue;
        }
        if (options.dryRun) {
            if (options.all) {
                auto address = nextFree();
                candidate.reset();
                item.address = address ? QuadText(*address) : "";
                item.result = address ? "would assign" : "no address left";
            } else {
                item.result = item.listedNoIp ? "would assign" : "not found";
                if (!item.listedNoIp && !item.listedAt.empty())
                    item.reason = "it is listed at " + item.listedAt;
            }
            reporter.Done(item);
            continue;
        }
        const auto started = std::chrono::steady_clock::now();
        if (planned) {
            Record(item, AssignOne(RequestFor(options, item, item.ip)));
            // An appliance that has an address already is not given another one by a plan.
            if (item.result == "not found" && !item.listedAt.empty())
                item.reason += " (it is listed at " + item.listedAt + ")";
        } else {
            for (;;) {
                auto address = nextFree();
                if (!address) {
                    item.result = "no address left";
                    item.reason = "every address of " + options.range + " is held or in use";
                    break;
                }
                item.address = QuadText(*address);
                const AssignOutcome outcome = AssignOne(RequestFor(options, item, item.address));
                Record(item, outcome);
                if (MayHaveBeenOffered(outcome.result)) {
                    taken.insert(*address);
                    candidate.reset();
                }
                if (outcome.result != AssignResult::InUse)
                    break;
                std::fprintf(stderr, "tavisol-cli: %s is in use; %s tries the next address\n",
                             item.address.c_str(), Printable(item.host).c_str());
            }
        }
        item.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        reporter.Done(item);
    }

    const bool ok = std::all_of(items.begin(), items.end(), Succeeded) &&
                    (options.request.confirm == 0 ||
                     std::none_of(items.begin(), items.end(),
                                  [](const Item& i) { return i.result == "acknowledged"; }));
    WriteAll(ListOutput(), options.json ? Json(items, options.dryRun, ok) : Table(items));
    return ok ? 0 : 1;
}

} // namespace cli
