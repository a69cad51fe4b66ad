// The Windows program's window under a burst: tavisol.exe's own start-up (the common
// controls, then the application object on a user-interface thread) with the Win32 driver
// beside it, which clicks "Search" once the main window is on the screen and then reads
// what the program holds. Runs under Wine (bench/windows.py) or on Windows.
//
//   tavisol_win32_bench.exe --expect N --prefix P [--idle-ms MS] [--timeout-ms MS]
//
// The driver waits until the list has shown N rows, or nothing new was listed or shown for
// the idle time after the first row, or the time-out passed; then it prints one line
//   window clock=realtime rows=R inserted=I first_row_ns=T0 last_row_ns=T1 shown_rows=S
//          shown_ns=T2 peak_kb=K
// and closes the window with "Close". R counts the list's rows whose host name starts with
// P. The list view is subclassed to see its insertions (I, the first at T0 and the last at
// T1) and its paints: S is the number of rows it held when a paint last ended with a
// different number, T2 the end of that paint, the moment the user could first see the last
// row. Times are the system's precise wall clock in nanoseconds since 1970, which the runner
// sets against its monotonic clock (Windows has no clock shared with Linux processes).
#include "app/TavisolApp.h"
#include "bench/window_options.h"
#include "platform/win32/driver.h"
#include "res/resource.h"
#include "res/templates.h"

#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using windowbench::Options;

std::uint64_t WallNs() {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    constexpr std::uint64_t kFrom1601To1970 = 116444736000000000ull; // in 100 ns
    return (t.QuadPart - kFrom1601To1970) * 100;
}

// Written by the user-interface thread inside the list's window procedure, read by the driver.
WNDPROC g_listProc = nullptr;
std::atomic<int> g_inserted{0};
std::atomic<std::uint64_t> g_firstRowNs{0}, g_lastRowNs{0};
std::atomic<int> g_shownRows{0};
std::atomic<std::uint64_t> g_shownNs{0};

LRESULT CALLBACK WatchedList(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = ::CallWindowProcW(g_listProc, hwnd, msg, wParam, lParam);
    if ((msg == LVM_INSERTITEMA || msg == LVM_INSERTITEMW) && result >= 0) {
        std::uint64_t now = WallNs();
        if (g_inserted.fetch_add(1) == 0)
            g_firstRowNs = now;
        g_lastRowNs = now;
    } else if (msg == WM_PAINT) {
        int rows = static_cast<int>(::CallWindowProcW(g_listProc, hwnd, LVM_GETITEMCOUNT, 0, 0));
        if (rows != g_shownRows) {
            g_shownNs = WallNs();
            g_shownRows = rows;
        }
    }
    return result;
}

long CountRows(HWND main, const std::string& prefix) {
    long count = 0;
    for (const auto& row : win32::Driver::Rows(main, IDC_DEVICE_LIST))
        if (row.size() > 1 && row[1].rfind(prefix, 0) == 0)
            ++count;
    return count;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!windowbench::ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: tavisol_win32_bench.exe %s\n", windowbench::kUsage);
        return 2;
    }

    // As tavisol.exe's WinMain: the list view's class exists once the controls are asked for.
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
    ::InitCommonControlsEx(&icc);

    win32::Driver driver;
    driver.Start(TavisolMain);
    const char* caption = res::FindDialog(IDD_VELLUMCRESTUI_DIALOG)->caption;
    std::wstring title(caption, caption + std::char_traits<char>::length(caption));
    // Wine's first window of a fresh session can take a while to map.
    HWND main = driver.WaitForWindow(title, 30000);
    HWND list = main ? ::GetDlgItem(main, IDC_DEVICE_LIST) : nullptr;
    if (!list) {
        std::fputs("tavisol_win32_bench: the main window did not come up\n", stderr);
        return 1;
    }
    // The old procedure first: the window may take a message as soon as it has the new one.
    g_listProc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(list, GWLP_WNDPROC));
    ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchedList));

    if (!win32::Driver::Click(main, IDC_SEARCH)) {
        std::fputs("tavisol_win32_bench: \"Search\" is not enabled\n", stderr);
        return 1;
    }
    const DWORD start = ::GetTickCount();
    DWORD changed = start;
    int inserted = 0, shown = 0;
    for (;;) {
        ::Sleep(50);
        const DWORD now = ::GetTickCount();
        if (g_inserted != inserted || g_shownRows != shown) {
            inserted = g_inserted;
            shown = g_shownRows;
            changed = now;
        }
        // Reading the rows costs the window a message per cell: only once the counts say so.
        if (shown >= o.expect && inserted >= o.expect && CountRows(main, o.prefix) >= o.expect)
            break;
        if (now - start > static_cast<DWORD>(o.timeoutMs) ||
            (inserted > 0 && now - changed > static_cast<DWORD>(o.idleMs)))
            break;
    }
    long rows = CountRows(main, o.prefix);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    std::printf("window clock=realtime rows=%ld inserted=%d first_row_ns=%llu last_row_ns=%llu "
                "shown_rows=%d shown_ns=%llu peak_kb=%llu\n",
                rows, g_inserted.load(), static_cast<unsigned long long>(g_firstRowNs.load()),
                static_cast<unsigned long long>(g_lastRowNs.load()), g_shownRows.load(),
                static_cast<unsigned long long>(g_shownNs.load()),
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024));
    std::fflush(stdout);

    win32::Driver::Click(main, IDCANCEL);
    return driver.Join(10000) == 0 ? 0 : 1;
}
