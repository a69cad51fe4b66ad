// The Qt window under a burst: build/tavisol as a user runs it (the QApplication on the main
// thread, the windows on the X server of $DISPLAY, a person's host), with a driver thread
// that clicks "Search" once the main window is on the screen and then reads what the
// program holds.
//
//   tavisol-bench-qt --expect N --prefix P [--idle-ms MS] [--timeout-ms MS]
//
// The driver waits until the list has shown N rows, or nothing new was listed or shown for
// the idle time after the first row, or the time-out passed; then it prints one line
//   window rows=R inserted=I first_row_ns=T0 last_row_ns=T1 shown_rows=S shown_ns=T2
//          peak_kb=K
// and closes the window with "Close". R counts the engine's rows whose host name starts
// with P; T0 and T1 are the engine's record of its first and last insertion; S is the
// number of rows the list widget held when it last painted a different number, and T2 when
// that paint ended: the moment the user could first see the last row. CLOCK_MONOTONIC
// nanoseconds throughout, the clock the simulator's burst line uses.
#include "app/TavisolApp.h"
#include "bench/window_options.h"
#include "platform/headless/engine.h"
#include "platform/qt/host.h"
#include "platform/qt/widgets.h"
#include "res/resource.h"

#include <QApplication>
#include <QPushButton>
#include <QWindow>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using headless::Engine;

using windowbench::Options;

struct Seen {
    bool windowUp = false;
    long rows = 0; // listed rows of the burst
    int inserted = 0;
    std::uint64_t firstRowNs = 0, lastRowNs = 0;
    int shownRows = 0;
    std::uint64_t shownNs = 0;
};

headless::Window* MainWindow() {
    return Engine::Get().OpenDialog(IDD_VELLUMCRESTUI_DIALOG);
}

headless::Window* Control(headless::Window* dlg, int id) {
    for (HWND h : dlg->children)
        if (headless::Window* w = Engine::Get().Find(h); w && w->id == id)
            return w;
    return nullptr;
}

// On the user-interface thread: what the program holds and its list widget has shown.
Seen Look(const Options& o) {
    Seen seen;
    headless::Window* dlg = MainWindow();
    qtui::QtHost* host = qtui::CurrentHost();
    if (!dlg || !host)
        return seen;
    QWidget* shown = host->WidgetOf(dlg->hwnd);
    seen.windowUp =
        shown && shown->isVisible() && shown->windowHandle() && shown->windowHandle()->isExposed();
    headless::Window* list = Control(dlg, IDC_DEVICE_LIST);
    if (!list)
        return seen;
    for (const headless::ListRow& row : list->rows)
        if (row.texts.size() > 1 && row.texts[1].rfind(o.prefix, 0) == 0)
            ++seen.rows;
    const headless::Record& record = Engine::Get().Rec();
    seen.inserted = record.rowsInserted;
    seen.firstRowNs = record.firstRowNs;
    seen.lastRowNs = record.lastRowNs;
    if (auto* widget = dynamic_cast<qtui::ListWidget*>(host->WidgetOf(list->hwnd))) {
        seen.shownRows = widget->PaintedRows();
        seen.shownNs = widget->PaintedNs();
    }
    return seen;
}

// A click on one of the main window's buttons, through its widget, as the mouse gives it.
void ClickButton(int id) {
    headless::Window* dlg = MainWindow();
    headless::Window* ctl = dlg ? Control(dlg, id) : nullptr;
    qtui::QtHost* host = qtui::CurrentHost();
    if (auto* button =
            ctl && host ? qobject_cast<QPushButton*>(host->WidgetOf(ctl->hwnd)) : nullptr)
        button->click();
}

Seen LookNow(const Options& o) {
    Seen seen;
    Engine::Get().RunOnUi([&] { seen = Look(o); });
    return seen;
}

void Drive(const Options& o, Seen& result, bool& ok) {
    using Clock = std::chrono::steady_clock;
    auto sleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    const auto upBy = Clock::now() + std::chrono::seconds(20);
    while (!LookNow(o).windowUp) {
        if (Clock::now() > upBy) {
            std::fputs("tavisol-bench-qt: the main window did not come up\n", stderr);
            Engine::Get().RunOnUi([] { Engine::Get().RequestQuit(); });
            return;
        }
        sleep();
    }
    Engine::Get().RunOnUi([] { ClickButton(IDC_SEARCH); });

    const auto end = Clock::now() + std::chrono::milliseconds(o.timeoutMs);
    Seen last = LookNow(o);
    auto changed = Clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Seen now = LookNow(o);
        if (now.rows >= o.expect && now.shownRows >= o.expect) {
            last = now;
            break;
        }
        if (now.inserted != last.inserted || now.shownRows != last.shownRows)
            changed = Clock::now();
        last = now;
        if (Clock::now() > end ||
            (now.inserted > 0 && Clock::now() - changed > std::chrono::milliseconds(o.idleMs)))
            break;
    }
    result = last;
    ok = true;
    Engine::Get().RunOnUi([] { ClickButton(IDCANCEL); });
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!windowbench::ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: tavisol-bench-qt %s\n", windowbench::kUsage);
        return 2;
    }

    // The start-up of build/tavisol (platform/qt/main.cpp), with the driver beside it.
    int qargc = 1;
    char* qargv[] = {argv[0], nullptr};
    QApplication app(qargc, qargv);
    QApplication::setApplicationName("tavisol");
    QApplication::setQuitOnLastWindowClosed(false);
    Engine& engine = Engine::Get();
    engine.Reset(false);
    Seen seen;
    bool ok = false;
    int code = 0;
    {
        qtui::QtHost host(true);
        engine.SetHost(&host);
        std::thread driver([&] { Drive(o, seen, ok); });
        code = TavisolMain();
        engine.SetHost(nullptr);
        engine.SetFinished(true);
        driver.join();
    }
    if (!ok)
        return 1;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("window rows=%ld inserted=%d first_row_ns=%llu last_row_ns=%llu shown_rows=%d "
                "shown_ns=%llu peak_kb=%ld\n",
                seen.rows, seen.inserted, static_cast<unsigned long long>(seen.firstRowNs),
                static_cast<unsigned long long>(seen.lastRowNs), seen.shownRows,
                static_cast<unsigned long long>(seen.shownNs), usage.ru_maxrss);
    return code == 0 ? 0 : 1;
}
