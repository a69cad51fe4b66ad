// Times the column sort of a full device list: the program's main window on the headless back
// end (virtual clock, no socket opened), ROWS rows put into its list as a search would put
// them, then heading clicks on both columns, each timed from the click until the window is
// idle again.
//
//   tavisol-bench-sort [ROWS] [CLICKS]
//
// Prints "sort rows=R clicks=C median_ms=M max_ms=X" and checks that the last click left the
// list in order.
#include "app/TavisolApp.h"
#include "platform/headless/driver.h"
#include "res/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 4096;
    const int clicks = argc > 2 ? std::atoi(argv[2]) : 8;
    if (rows < 1 || clicks < 1) {
        std::fputs("usage: tavisol-bench-sort [ROWS] [CLICKS]\n", stderr);
        return 2;
    }

    headless::Driver driver(true);
    driver.Start(TavisolMain);
    if (!driver.WaitForDialog(IDD_VELLUMCRESTUI_DIALOG, 10000)) {
        std::fputs("tavisol-bench-sort: the main window did not open\n", stderr);
        return 1;
    }

    // Rows as a busy segment lists them: mostly addresses, some "No IP", names in both letter
    // cases, in the order the answers happened to arrive.
    std::mt19937 rng(1211);
    std::vector<int> order(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), rng);
    driver.OnUi([&] {
        CListCtrl list; // a view of the main window's list; a CWnd never owns its window
        list.m_hWnd = GetDlgItem(AfxGetApp()->m_pMainWnd->m_hWnd, IDC_DEVICE_LIST);
        for (int n : order) {
            char address[32], host[32];
            if (n % 4 == 3)
                std::snprintf(address, sizeof address, "No IP");
            else
                std::snprintf(address, sizeof address, "10.198.%d.%d", n / 250, n % 250 + 1);
            std::snprintf(host, sizeof host, n % 2 ? "sw-r%05d" : "SW-R%05d", n);
            list.InsertItem(LVIF_TEXT | LVIF_IMAGE, 0, address, 0, 0, 0, 0);
            list.SetItem(0, 1, LVIF_TEXT, host, 0, 0, 0, 0);
        }
    });

    std::vector<double> millis;
    for (int i = 0; i < clicks; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        driver.ClickColumn(IDC_DEVICE_LIST, (i / 2) % 2);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }

    // The last click sorted its column; a wrong order would make the timing meaningless.
    const int lastColumn = ((clicks - 1) / 2) % 2;
    const bool ascending = (clicks - 1) % 2 == 0;
    std::vector<std::vector<std::string>> listed = driver.Rows(IDC_DEVICE_LIST);
    bool ordered = static_cast<int>(listed.size()) == rows;
    for (std::size_t i = 1; ordered && i < listed.size(); ++i) {
        const std::string& a = listed[i - 1][static_cast<std::size_t>(lastColumn)];
        const std::string& b = listed[i][static_cast<std::size_t>(lastColumn)];
        ordered = ascending ? a <= b : a >= b;
    }

    driver.CloseBox();
    driver.Join(5000);

    std::vector<double> sorted = millis;
    std::sort(sorted.begin(), sorted.end());
    std::printf("sort rows=%d clicks=%d median_ms=%.2f max_ms=%.2f ordered=%d\n", rows, clicks,
                sorted[sorted.size() / 2], sorted.back(), ordered ? 1 : 0);
    return ordered ? 0 : 1;
}
