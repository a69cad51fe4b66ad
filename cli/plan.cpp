// Reading and checking a plan file and an address range (RFC 4180 for the file's syntax).
#include "cli/plan.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace cli {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
    return text;
}

} // namespace

std::string FoldedName(std::string_view text) {
    std::string folded = TrimRight(std::string(text));
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

namespace {

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

bool IsUsableFirstByte(std::uint32_t address) {
    const std::uint32_t first = address >> 24;
    return first != 0 && first != 127 && first < 224;
}

struct Record {
    int line = 0;
    std::vector<std::string> fields;
};

// Splits the text into records. Comment lines and blank lines count only where a record
// would begin: inside a quoted field a '#' or an empty line is data.
class RecordReader {
public:
    explicit RecordReader(std::string_view text) : m_text(text) {}

    // False at the end of the text or on an error (then `error` is set).
    bool Next(Record& record, std::optional<PlanError>& error) {
        while (m_pos < m_text.size()) {
            const std::size_t eol = m_text.find('\n', m_pos);
            const std::string_view lineText =
                m_text.substr(m_pos, eol == std::string_view::npos ? eol : eol - m_pos);
            const bool skip = (!lineText.empty() && lineText.front() == '#') ||
                              std::all_of(lineText.begin(), lineText.end(),
                                          [](char c) { return IsBlank(c) || c == '\r'; });
            if (!skip)
                return ReadRecord(record, error);
            m_pos = eol == std::string_view::npos ? m_text.size() : eol + 1;
            ++m_line;
        }
        return false;
    }

private:
    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return m_text[m_pos]; }

    bool ReadRecord(Record& record, std::optional<PlanError>& error) {
        record.line = m_line;
        record.fields.clear();
        for (;;) {
            std::size_t start = m_pos;
            while (!AtEnd() && IsBlank(Peek()))
                ++m_pos;
            std::string field;
            if (!AtEnd() && Peek() == '"') {
                const int quoteLine = m_line;
                ++m_pos;
                for (;;) {
                    if (AtEnd()) {
                        error = PlanError{quoteLine, "a quoted field is not closed"};
                        return false;
                    }
                    char c = Peek();
                    if (c == '"' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '"') {
                        field += '"';
                        m_pos += 2;
                    } else if (c == '"') {
                        ++m_pos;
                        break;
                    } else {
                        if (c == '\n')
                            ++m_line;
                        field += c;
                        ++m_pos;
                    }
                }
                while (!AtEnd() && IsBlank(Peek()))
                    ++m_pos;
                if (!AtEnd() && Peek() == '\r')
                    ++m_pos;
                if (!AtEnd() && Peek() != ',' && Peek() != '\n') {
                    error = PlanError{m_line, "text after the closing quote of a field"};
                    return false;
                }
                field = TrimRight(field);
            } else {
                m_pos = start;
                while (!AtEnd() && Peek() != ',' && Peek() != '\n') {
                    if (Peek() == '"') {
                        error = PlanError{m_line, "a quote inside an unquoted field (quote the "
                                                  "whole field and double the quote)"};
                        return false;
                    }
                    field += Peek();
                    ++m_pos;
                }
                if (!field.empty() && field.back() == '\r')
                    field.pop_back();
                field = std::string(Trim(field));
            }
            record.fields.push_back(std::move(field));
            if (AtEnd())
                return true;
            if (Peek() == '\n') {
                ++m_pos;
                ++m_line;
                return true;
            }
            ++m_pos; // the ','
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    int m_line = 1;
};

enum Column { kHost, kIp, kMask, kGateway, kColumns };
const char* const kColumnNames[kColumns] = {"host", "ip", "mask", "gateway"};

// The header's columns in file order; an error when it names anything else, or a column
// twice, or leaves out host or ip.
std::optional<std::vector<Column>> HeaderColumns(const Record& header, std::string& why) {
    std::vector<Column> columns;
    for (const std::string& field : header.fields) {
        const std::string name = FoldedName(field);
        auto known = std::find(std::begin(kColumnNames), std::end(kColumnNames), name);
        if (known == std::end(kColumnNames)) {
            why = "unknown column " + Quoted(field) + " in the header (host, ip, mask, gateway)";
            return std::nullopt;
        }
        const Column column = static_cast<Column>(known - std::begin(kColumnNames));
        if (std::find(columns.begin(), columns.end(), column) != columns.end()) {
            why = "the header names " + name + " twice";
            return std::nullopt;
        }
        columns.push_back(column);
    }
    if (std::find(columns.begin(), columns.end(), kIp) == columns.end()) {
        why = "the header has no ip column";
        return std::nullopt;
    }
    return columns;
}

} // namespace

std::optional<std::uint32_t> ParseQuad(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 4)
            value = value * 10 + static_cast<unsigned>(text[digits++] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        text.remove_prefix(digits);
        address = address << 8 | value;
    }
    if (!text.empty())
        return std::nullopt;
    return address;
}

std::string QuadText(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

std::string WhyNotHostAddress(std::string_view text) {
    auto address = ParseQuad(text);
    if (!address)
        return Quoted(text) + " is not an address (four decimal parts 0-255)";
    if (!IsUsableFirstByte(*address))
        return Quoted(text) + " cannot be an appliance's address (0.x, 127.x and 224 and up "
                              "are refused)";
    return "";
}

std::string WhyNotMask(std::string_view text) {
    auto mask = ParseQuad(text);
    if (!mask)
        return "mask " + Quoted(text) + " is not an address (four decimal parts 0-255)";
    // A mask is ones from the top and zeros after them; none and all ones are no mask.
    const std::uint32_t host = ~*mask;
    if (*mask == 0 || host == 0 || (host & (host + 1)) != 0)
        return "mask " + Quoted(text) + " is not a subnet mask";
    return "";
}

std::string WhyNotGateway(std::string_view text) {
    auto address = ParseQuad(text);
    if (!address)
        return "gateway " + Quoted(text) + " is not an address (four decimal parts 0-255)";
    if (!IsUsableFirstByte(*address))
        return "gateway " + Quoted(text) + " cannot be a router's address";
    return "";
}

Plan ParsePlan(std::string_view text, const std::string& defaultMask,
               const std::string& defaultGateway) {
    Plan plan;
    RecordReader reader(text);
    Record record;
    std::optional<std::vector<Column>> header;
    std::map<std::string, int> hostLines;
    std::map<std::uint32_t, int> addresses;
    auto fail = [&plan](int line, std::string reason) {
        plan.rows.clear();
        plan.error = PlanError{line, std::move(reason)};
        return plan;
    };
    bool first = true;
    while (reader.Next(record, plan.error)) {
        if (first && !record.fields.empty() && FoldedName(record.fields[0]) == "host") {
            first = false;
            std::string why;
            header = HeaderColumns(record, why);
            if (!header)
                return fail(record.line, why);
            continue;
        }
        first = false;
        const std::size_t count = record.fields.size();
        if (header ? count != header->size() : (count < 2 || count > 4)) {
            return fail(record.line,
                        std::to_string(count) + (count == 1 ? " column" : " columns") + "; " +
                            (header ? "the header has " + std::to_string(header->size())
                                    : std::string("a row holds host,ip[,mask[,gateway]]")));
        }
        std::string values[kColumns];
        for (std::size_t i = 0; i < count; ++i)
            values[header ? (*header)[i] : static_cast<Column>(i)] = record.fields[i];

        PlanRow row;
        row.line = record.line;
        row.host = values[kHost];
        if (Trim(row.host).empty())
            return fail(record.line, "the host name is empty");
        if (std::string why = WhyNotHostAddress(values[kIp]); !why.empty())
            return fail(record.line, why);
        const std::uint32_t ip = *ParseQuad(values[kIp]);
        row.ip = QuadText(ip);
        if (!values[kMask].empty()) {
            if (std::string why = WhyNotMask(values[kMask]); !why.empty())
                return fail(record.line, why);
            row.mask = QuadText(*ParseQuad(values[kMask]));
        } else {
            row.mask = defaultMask;
        }
        if (!values[kGateway].empty()) {
            if (std::string why = WhyNotGateway(values[kGateway]); !why.empty())
                return fail(record.line, why);
            row.gateway = QuadText(*ParseQuad(values[kGateway]));
        } else {
            row.gateway = defaultGateway;
        }

        auto [host, newHost] = hostLines.emplace(FoldedName(row.host), record.line);
        if (!newHost)
            return fail(record.line, "host " + row.host + " is planned on line " +
                                         std::to_string(host->second) + " already");
        auto [held, newAddress] = addresses.emplace(ip, record.line);
        if (!newAddress)
            return fail(record.line, "address " + row.ip + " is planned on line " +
                                         std::to_string(held->second) + " already");
        plan.rows.push_back(row);
    }
    if (plan.error)
        return fail(plan.error->line, plan.error->reason);
    if (plan.rows.empty())
        return fail(0, "the plan holds no appliance");
    return plan;
}

Plan ReadPlanFile(const std::string& path, const std::string& defaultMask,
                  const std::string& defaultGateway) {
    Plan unreadable;
    unreadable.error = PlanError{0, "cannot read the plan file"};
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return unreadable;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return unreadable;
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        return unreadable;
    return ParsePlan(text, defaultMask, defaultGateway);
}

std::optional<AddressRange> ParseRange(std::string_view text, std::string& why) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        why = "a range is FIRST-LAST, two full addresses";
        return std::nullopt;
    }
    const std::string_view firstText = text.substr(0, dash), lastText = text.substr(dash + 1);
    for (std::string_view part : {firstText, lastText}) {
        if (std::string reason = WhyNotHostAddress(part); !reason.empty()) {
            why = "range " + Quoted(text) + ": " + reason;
            return std::nullopt;
        }
    }
    AddressRange range{*ParseQuad(firstText), *ParseQuad(lastText)};
    if (range.first > range.last) {
        why = "range " + Quoted(text) + ": the first address lies above the last";
        return std::nullopt;
    }
    if (range.last - range.first >= kMaxRange) {
        why = "range " + Quoted(text) + ": more than " + std::to_string(kMaxRange) + " addresses";
        return std::nullopt;
    }
    return range;
}

} // namespace cli
