// A running program for tavisol-cli: the main window open on the headless back end with the
// real clock, its message boxes on stderr and its socket failures explained, and the helpers
// that find and select rows of its list while replies keep arriving.
#pragma once

#include "cli/output.h"
#include "platform/headless/driver.h"

#include <functional>
#include <string>
#include <vector>

namespace cli {

using ListRows = std::vector<std::vector<std::string>>;

class Session {
public:
    Session();

    headless::Driver& driver() { return m_driver; }
    // The real standard output: the program's own diagnostic lines go to /dev/null.
    int listOut() const { return m_listOut; }

    // Starts the program and waits for its main window; false (and a line on stderr) when it
    // does not open.
    bool Open();

    // Presses "Search" and waits for the end of the search window (its 16th tick gives
    // "Search" back), or for the given number of seconds. With `tick`, it is called every
    // quarter of a second or so with the seconds gone since the press (for the progress).
    void Search(double seconds, const std::function<void(double)>& tick = {});

    // Whether the search window is over: "Search" is usable again.
    bool SearchWindowOver();

    // After "Search": waits until the row is listed, for the given seconds or else until the
    // end of the search window. Runs isListed on the user-interface thread.
    bool WaitForRow(const std::function<bool()>& isListed, double seconds);

    void Close();

    static HWND MainItem(int id);

private:
    int m_listOut;
    headless::Driver m_driver;
};

// The index of the first row whose column text, trimmed, equals the text in any letter case.
int FindRow(const ListRows& rows, int column, const std::string& text);

// Whether the cell reads "No IP", blanks at the end aside.
bool IsNoIp(const std::string& cell);

// Selects the row that `pick` finds and checks that the selection holds it (see session.cpp).
bool SelectListedRow(headless::Driver& driver, const std::function<int(const ListRows&)>& pick);

// Reads the list on the user-interface thread (for WaitUntil predicates).
ListRows RowsNow();

// The list as it stands, with the hardware address of each "No IP" row.
std::vector<Device> ReadDevices(headless::Driver& driver);

// How long the search window lasts: 16 ticks of half a second.
constexpr double kSearchWindowSeconds = 8.0;

// The real standard output, for the command's own output; from the first call on, the
// program's diagnostic lines go to /dev/null instead.
int ListOutput();

// A message box's text on one line: its line breaks become blanks.
std::string OneLine(std::string text);

// "tavisol-cli: REASON" on stderr; returns 1, the exit status of a failure.
int Fail(const std::string& reason);

} // namespace cli
