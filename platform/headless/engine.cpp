// The headless engine's loop: queue, timers, socket readiness, idle waiting, modal loops and
// message boxes, following the order Windows gives them: posted messages first, then
// painting, then timers, which are generated only when nothing else is waiting.
#include "platform/headless/engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace headless {

namespace {
constexpr std::uint64_t kNoDeadline = UINT64_MAX;
// How long a driver on the real clock waits for the loop to run out of work.
constexpr int kSettleMs = 200;

std::uint64_t SteadyMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int DefaultAnswer(UINT style) {
    int button = static_cast<int>((style & MB_DEFMASK) >> 8);
    switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return button == 1 ? IDCANCEL : IDOK;
    case MB_ABORTRETRYIGNORE:
        return button == 1 ? IDRETRY : button == 2 ? IDIGNORE : IDABORT;
    case MB_YESNOCANCEL:
        return button == 1 ? IDNO : button == 2 ? IDCANCEL : IDYES;
    case MB_YESNO:
        return button == 1 ? IDNO : IDYES;
    case MB_RETRYCANCEL:
        return button == 1 ? IDCANCEL : IDRETRY;
    default:
        return IDOK;
    }
}
} // namespace

LRESULT ListViewMessage(Window& w, UINT msg, WPARAM wParam, LPARAM lParam);

Engine& Engine::Get() {
    static Engine engine;
    return engine;
}

void Engine::Reset(bool virtualClock) {
    m_virtual = virtualClock;
    m_virtualNow = 0;
    m_realStart = SteadyMs();
    m_windows.clear();
    m_modalStack.clear();
    m_queue.clear();
    m_timers.clear();
    m_watches.clear();
    m_imageLists.clear();
    m_boxScript.clear();
    m_boxObserver = nullptr;
    m_boxAnswerer = nullptr;
    m_record = Record{};
    m_shellResult = 42;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.clear();
    m_stepPending = false;
    m_idle = false;
    m_finished = false;
    m_quit = false;
    m_activity.store(0, std::memory_order_relaxed);
    if (m_wakeFd < 0)
        m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

std::uint64_t Engine::Now() const {
    return m_virtual ? m_virtualNow : SteadyMs() - m_realStart;
}

// ---- windows -----------------------------------------------------------------------------

Window* Engine::Find(HWND hwnd) {
    auto it = m_windows.find(hwnd);
    return it == m_windows.end() ? nullptr : it->second.get();
}

HWND Engine::CreateDialogWindow(const res::DialogTemplate& tmpl, HWND owner, DLGPROC proc) {
    auto make = [this]() {
        auto w = std::make_unique<Window>();
        w->hwnd = reinterpret_cast<HWND>(m_nextHandle);
        m_nextHandle += 0x10;
        HWND h = w->hwnd;
        m_windows[h] = std::move(w);
        return Find(h);
    };
    Window* dlg = make();
    dlg->isDialog = true;
    dlg->id = tmpl.id;
    dlg->text = tmpl.caption;
    dlg->style = tmpl.style;
    dlg->parent = owner;
    dlg->proc = proc;
    // Dialog units to pixels with the base units of a 9-point dialog font.
    dlg->client = RECT{0, 0, tmpl.cx * 7 / 4, tmpl.cy * 15 / 8};
    dlg->rect = dlg->client;
    for (const res::ControlTemplate& c : tmpl.controls) {
        Window* ctl = make();
        ctl->parent = dlg->hwnd;
        ctl->id = c.id;
        ctl->kind = c.kind;
        ctl->text = c.kind == res::ControlKind::StaticIcon ? "" : c.text;
        ctl->style = c.style;
        ctl->enabled = (c.style & WS_DISABLED) == 0;
        if (c.kind == res::ControlKind::StaticIcon && res::FindIcon(c.iconId))
            ctl->icon = reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x10000 + c.iconId));
        dlg->children.push_back(ctl->hwnd);
    }
    if (m_host)
        m_host->DialogCreated(*dlg);
    return dlg->hwnd;
}

void Engine::DestroyDialogWindow(HWND hwnd) {
    Window* w = Find(hwnd);
    if (!w)
        return;
    if (m_host)
        m_host->DialogDestroyed(hwnd);
    m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                  [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                   m_timers.end());
    for (HWND child : w->children)
        m_windows.erase(child);
    m_windows.erase(hwnd);
}

Window* Engine::TopDialog() {
    for (auto it = m_modalStack.rbegin(); it != m_modalStack.rend(); ++it) {
        Window* w = Find(*it);
        if (w && !w->ended)
            return w;
    }
    return nullptr;
}

Window* Engine::OpenDialog(int templateId) {
    for (auto it = m_modalStack.rbegin(); it != m_modalStack.rend(); ++it) {
        Window* w = Find(*it);
        if (w && w->id == templateId)
            return w;
    }
    return nullptr;
}

INT_PTR Engine::RunModal(HWND hwnd) {
    m_modalStack.push_back(hwnd);
    for (;;) {
        Window* w = Find(hwnd);
        if (!w || w->ended || m_quit)
            break;
        PumpOne(kNoDeadline);
    }
    m_modalStack.erase(std::find(m_modalStack.begin(), m_modalStack.end(), hwnd));
    Window* w = Find(hwnd);
    return (w && w->ended) ? w->result : -1;
}

LRESULT Engine::Dispatch(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = Find(hwnd);
    if (!w)
        return 0;
    // Drivers waiting for something to happen look once the loop has settled (Idle wakes
    // them): waking them for every message would cost two thread switches per message, and a
    // burst of datagrams would spend more time on those than on the datagrams.
    m_activity.fetch_add(1, std::memory_order_relaxed);
    if (!w->isDialog) {
        switch (w->kind) {
        case res::ControlKind::ListView:
            return ListViewMessage(*w, msg, wParam, lParam);
        case res::ControlKind::StaticIcon:
            if (msg == STM_SETICON) {
                HICON old = w->icon;
                w->icon = reinterpret_cast<HICON>(wParam);
                Window* dlg = Find(w->parent);
                m_record.iconChanges.push_back({dlg ? dlg->id : 0, w->id, IconId(w->icon)});
                return reinterpret_cast<LRESULT>(old);
            }
            if (msg == STM_GETICON)
                return reinterpret_cast<LRESULT>(w->icon);
            return 0;
        default:
            return 0;
        }
    }
    DLGPROC proc = w->proc;
    INT_PTR handled = proc ? proc(hwnd, msg, wParam, lParam) : FALSE;
    w = Find(hwnd);
    if (!w)
        return 0;
    if (!handled) {
        if (msg == WM_SETICON) {
            HICON& slot = wParam == ICON_BIG ? w->bigIcon : w->smallIcon;
            HICON old = slot;
            slot = reinterpret_cast<HICON>(lParam);
            m_record.windowIconsSet.push_back(IconId(slot));
            return reinterpret_cast<LRESULT>(old);
        }
        DefaultDialogProcessing(*w, msg, wParam, lParam);
        return 0;
    }
    if (msg == WM_QUERYDRAGICON || msg == WM_INITDIALOG)
        return handled;
    return w->msgResult;
}

void Engine::DefaultDialogProcessing(Window& w, UINT msg, WPARAM wParam, LPARAM) {
    HWND hwnd = w.hwnd;
    switch (msg) {
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            Dispatch(hwnd, WM_CLOSE, 0, 0);
            break;
        case SC_MINIMIZE:
            w.iconic = true;
            w.invalid = true;
            break;
        case SC_RESTORE:
        case SC_MAXIMIZE:
            w.iconic = false;
            w.invalid = true;
            break;
        default:
            break;
        }
        break;
    case WM_CLOSE: {
        // The dialog manager turns the close box into the Cancel command.
        HWND cancel = nullptr;
        for (HWND c : w.children)
            if (Window* cw = Find(c); cw && cw->id == IDCANCEL)
                cancel = c;
        Dispatch(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(cancel));
        break;
    }
    case WM_PAINT:
        w.invalid = false;
        break;
    default:
        break;
    }
}

void Engine::MoveDialog(Window& dlg, const RECT& rect) {
    dlg.rect = rect;
    if (m_host)
        m_host->DialogMoved(dlg);
}

void Engine::Screen(RECT* monitor, RECT* work) {
    if (m_host) {
        m_host->Screen(monitor, work);
        return;
    }
    *monitor = HEADLESS_SCREEN;
    *work = HEADLESS_SCREEN;
}

void Engine::Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    m_queue.push_back({hwnd, msg, wParam, lParam});
}

void Engine::PaintNow(Window& w) {
    w.invalid = false;
    Dispatch(w.hwnd, WM_PAINT, 0, 0);
}

// ---- timers ------------------------------------------------------------------------------

UINT_PTR Engine::SetTimer(HWND hwnd, UINT_PTR id, UINT elapse) {
    if (elapse < 10)
        elapse = 10; // USER_TIMER_MINIMUM
    for (Timer& t : m_timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.period = elapse;
            t.due = Now() + elapse;
            return id ? id : 1;
        }
    }
    m_timers.push_back({hwnd, id, elapse, Now() + elapse});
    return id ? id : 1;
}

BOOL Engine::KillTimer(HWND hwnd, UINT_PTR id) {
    auto it = std::find_if(m_timers.begin(), m_timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == m_timers.end())
        return FALSE;
    m_timers.erase(it);
    return TRUE;
}

std::uint64_t Engine::NextTimerDue() const {
    std::uint64_t next = kNoDeadline;
    for (const Timer& t : m_timers)
        next = std::min(next, t.due);
    return next;
}

bool Engine::FireDueTimer() {
    std::uint64_t now = Now();
    Timer* due = nullptr;
    for (Timer& t : m_timers)
        if (t.due <= now && (!due || t.due < due->due))
            due = &t;
    if (!due)
        return false;
    due->due = now + due->period;
    HWND hwnd = due->hwnd;
    UINT_PTR id = due->id;
    Dispatch(hwnd, WM_TIMER, id, 0);
    return true;
}

// ---- sockets -----------------------------------------------------------------------------

void Engine::WatchSocket(SOCKET s, int fd, HWND hwnd, UINT msg, long events) {
    m_watches[s] = Watch{fd, hwnd, msg, events, false};
}

void Engine::UnwatchSocket(SOCKET s) {
    m_watches.erase(s);
}

void Engine::SocketReceived(SOCKET s) {
    auto it = m_watches.find(s);
    if (it != m_watches.end())
        it->second.posted = false;
}

void Engine::PollSockets(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<SOCKET> owners;
    fds.push_back({m_wakeFd, POLLIN, 0});
    owners.push_back(0);
    for (auto& [s, watch] : m_watches) {
        if (watch.posted || !(watch.events & FD_READ))
            continue;
        fds.push_back({watch.fd, POLLIN, 0});
        owners.push_back(s);
    }
    int n = m_host ? m_host->Wait(fds.data(), fds.size(), timeoutMs)
                   : ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0)
        return;
    if (fds[0].revents & POLLIN) {
        std::uint64_t drained;
        while (::read(m_wakeFd, &drained, sizeof drained) > 0) {
        }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLERR)))
            continue;
        auto it = m_watches.find(owners[i]);
        if (it == m_watches.end())
            continue;
        it->second.posted = true;
        Post(it->second.hwnd, it->second.msg, static_cast<WPARAM>(owners[i]),
             WSAMAKESELECTREPLY(FD_READ, 0));
    }
}

// ---- the loop ----------------------------------------------------------------------------

bool Engine::RunTasks() {
    for (bool ran = false;; ran = true) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_tasks.empty())
                return ran;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

bool Engine::DispatchQueued() {
    if (m_queue.empty())
        return false;
    Message m = m_queue.front();
    m_queue.pop_front();
    Dispatch(m.hwnd, m.msg, m.wParam, m.lParam);
    return true;
}

bool Engine::PaintPending() {
    for (auto& [hwnd, w] : m_windows) {
        if (w->isDialog && w->invalid) {
            PaintNow(*w);
            return true;
        }
    }
    return false;
}

void Engine::PumpOne(std::uint64_t deadline) {
    // A task is input, like a dispatched message: it may have ended the dialog or answered
    // the box this loop runs for, so the loop looks before anything waits.
    if (RunTasks() || m_quit)
        return;
    PollSockets(0);
    if (DispatchQueued() || PaintPending() || FireDueTimer())
        return;
    Idle(deadline);
}

void Engine::Idle(std::uint64_t deadline) {
    std::uint64_t now = Now();
    std::uint64_t nextDue = NextTimerDue();
    int waitMs = -1;
    if (m_virtual) {
        // Virtual time passes only while a driver's step or a message box's delay asks for
        // it, and then it jumps straight to the next timer.
        std::uint64_t target = deadline == kNoDeadline ? 0 : deadline;
        bool stepDone = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stepPending) {
                if (m_stepTarget <= now) {
                    m_stepPending = false;
                    stepDone = true;
                } else {
                    target = std::max(target, m_stepTarget);
                }
            }
        }
        if (stepDone)
            m_changed.notify_all();
        if (target > now) {
            m_virtualNow = std::min(nextDue, target);
            return;
        }
    } else {
        std::uint64_t until = std::min(nextDue, deadline);
        if (until != kNoDeadline)
            waitMs =
                static_cast<int>(std::min<std::uint64_t>(until > now ? until - now : 0, INT_MAX));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_tasks.empty() || m_quit)
            return;
        m_idle = true;
    }
    m_changed.notify_all();
    if (m_host)
        m_host->Refresh();
    PollSockets(waitMs);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle = false;
    }
}

// ---- message boxes -----------------------------------------------------------------------

int Engine::ShowMessageBox(HWND owner, const char* text, const char* caption, UINT style) {
    BoxRecord box;
    box.hasOwner = owner != nullptr;
    box.text = text ? text : "";
    box.caption = caption ? caption : "Error"; // the system's caption when none is given
    box.style = style;
    int afterMs = 0;
    bool scripted = !m_boxScript.empty();
    if (scripted) {
        box.answer = m_boxScript.front().answer;
        afterMs = m_boxScript.front().afterMs;
        m_boxScript.pop_front();
    } else {
        box.answer = DefaultAnswer(style);
        if (m_boxAnswerer)
            box.answer = m_boxAnswerer(box);
    }
    m_record.boxes.push_back(box);
    std::size_t recorded = m_record.boxes.size() - 1; // boxes opened meanwhile come after it
    if (m_boxObserver)
        m_boxObserver(box);

    // The box is modal to its owner: the owner is disabled but still gets its messages,
    // which the box's own loop goes on dispatching until the user answers.
    bool ownerWasEnabled = false;
    if (Window* w = Find(owner)) {
        ownerWasEnabled = w->enabled;
        w->enabled = false;
    }
    if (m_host && m_host->Live() && !scripted) {
        // A person answers: the box stays up, and the loop goes on, until they do.
        void* shown = m_host->OpenBox(owner, box);
        int answer = box.answer;
        while (!m_quit && !m_host->BoxAnswered(shown, &answer))
            PumpOne(kNoDeadline);
        m_host->CloseBox(shown);
        box.answer = answer;
        m_record.boxes[recorded].answer = answer;
    } else {
        void* shown = m_host ? m_host->OpenBox(owner, box) : nullptr;
        std::uint64_t end = Now() + static_cast<std::uint64_t>(afterMs);
        while (Now() < end && !m_quit)
            PumpOne(end);
        if (shown)
            m_host->CloseBox(shown);
    }
    if (Window* w = Find(owner); w && ownerWasEnabled)
        w->enabled = true;
    return box.answer;
}

void Engine::ScriptBoxAnswer(int answer, int afterMs) {
    m_boxScript.push_back({answer, afterMs});
}

void Engine::SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer) {
    m_boxAnswerer = std::move(answerer);
}

void Engine::SetBoxObserver(std::function<void(const BoxRecord&)> observer) {
    m_boxObserver = std::move(observer);
}

// ---- image lists -------------------------------------------------------------------------

HIMAGELIST Engine::CreateImageList(int cx, int cy, UINT flags) {
    auto list = std::make_unique<ImageList>();
    list->cx = cx;
    list->cy = cy;
    list->flags = flags;
    HIMAGELIST h = reinterpret_cast<HIMAGELIST>(list.get());
    m_imageLists[h] = std::move(list);
    return h;
}

ImageList* Engine::FindImageList(HIMAGELIST h) {
    auto it = m_imageLists.find(h);
    return it == m_imageLists.end() ? nullptr : it->second.get();
}

void Engine::DestroyImageList(HIMAGELIST h) {
    m_imageLists.erase(h);
}

// ---- the driver side ---------------------------------------------------------------------

void Engine::PostTask(std::function<void()> task) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_finished) {
            m_tasks.push_back(std::move(task));
            std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
            return;
        }
    }
    task(); // no loop runs any more: the windows are gone and the records are final
}

void Engine::StepTime(std::uint64_t ms) {
    if (!m_virtual) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        WaitIdle();
        return;
    }
    PostTask([this, ms] {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stepTarget = Now() + ms;
        m_stepPending = true;
    });
    WaitIdle();
}

void Engine::WaitIdle() {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto idle = [this] { return m_finished || (m_idle && m_tasks.empty() && !m_stepPending); };
    if (m_virtual) {
        m_changed.wait(lock, idle);
        return;
    }
    // With the real clock the LAN decides when the loop has nothing left to do, and under a
    // stream of datagrams it never has. After a short settling time it is enough that the
    // driver's own work has been run.
    auto settled = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMs);
    if (m_changed.wait_until(lock, settled, idle))
        return;
    while (!m_finished && !m_idle && !m_tasks.empty())
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
}

bool Engine::WaitUntilIdleOr(const std::function<bool()>& uiPredicate, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool result = false;
        RunOnUi([&] { result = uiPredicate(); });
        if (result)
            return true;
        std::unique_lock<std::mutex> lock(m_mutex);
        std::uint64_t seen = m_activity.load(std::memory_order_relaxed);
        if (m_finished) {
            // The program may have ended right after the last look, with the very event that
            // was waited for among its last acts: its final state decides.
            lock.unlock();
            RunOnUi([&] { result = uiPredicate(); });
            return result;
        }
        // Wait for the loop to do something and settle, with a short cap in case the thing
        // we wait for happens outside the loop's view or the loop stays busy.
        auto cap =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        m_changed.wait_until(lock, cap, [&] {
            return (m_activity.load(std::memory_order_relaxed) != seen && m_idle) || m_finished;
        });
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            RunOnUi([&] { result = uiPredicate(); });
            return result;
        }
    }
}

void Engine::RunOnUi(const std::function<void()>& fn) {
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    PostTask([&] {
        fn();
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

void Engine::SetFinished(bool finished) {
    RunTasks();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = finished;
    }
    m_changed.notify_all();
    if (finished)
        RunTasks();
}

bool Engine::Finished() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

void Engine::RequestQuit() {
    m_quit = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

int IconId(HICON icon) {
    auto v = reinterpret_cast<std::uintptr_t>(icon);
    return v > 0x10000 && v < 0x20000 ? static_cast<int>(v - 0x10000) : 0;
}

} // namespace headless
