// The headless back end's engine: in-memory windows built from the resource templates, the
// message queue, timers, socket readiness and the clock, on the Windows model (one
// user-interface thread, nested modal loops).
//
// Everything here is touched only by the user-interface thread, except the task queue and
// the idle state, through which a driver on another thread (a test, the command line)
// acts on the windows and reads them.
#pragma once

#include "platform/headless/record.h"
#include "platform/winapi.h"
#include "res/templates.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pollfd;

namespace headless {

struct ListColumn {
    std::string text;
    int fmt = 0;
    int width = 0;
};

struct ListRow {
    std::vector<std::string> texts; // one per column; missing ones read as empty
    int image = 0;
    UINT state = 0;
    LPARAM lParam = 0;
};

struct Window {
    HWND hwnd = nullptr;
    HWND parent = nullptr; // the dialog of a control; the owner of a dialog
    bool isDialog = false;
    int id = 0; // control id, or the template id of a dialog
    res::ControlKind kind = res::ControlKind::StaticText;
    std::string text;
    DWORD style = 0;
    bool enabled = true;
    std::vector<HWND> children;

    // dialogs
    DLGPROC proc = nullptr;
    LONG_PTR user = 0;
    LONG_PTR msgResult = 0;
    LONG_PTR userData = 0;
    bool ended = false;
    INT_PTR result = 0;
    bool iconic = false;
    bool invalid = false;
    HWND focus = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    std::vector<MenuItem> sysMenu;
    RECT client{};
    // On the screen, frame included (the headless windows have none). Created at the
    // template's origin, invisible until the dialog manager shows it after WM_INITDIALOG.
    RECT rect{};
    bool visible = false;

    // static icons
    HICON icon = nullptr;

    // list views
    std::vector<ListColumn> columns;
    // A deque: the program inserts every new row at the top, and a list of thousands must not
    // move all its rows for each one.
    std::deque<ListRow> rows;
    DWORD listExStyle = 0;
    HIMAGELIST smallImages = nullptr;
};

struct ImageList {
    int cx = 0, cy = 0;
    UINT flags = 0;
    std::vector<HICON> icons;
};

// A toolkit that puts the engine's windows on a screen (platform/qt) plugs in here. The
// engine stays the one keeper of the Windows rules (queue order, timers, socket re-arming,
// modal loops); the host only shows its state and turns the user's input into engine tasks.
// Every call comes from the user-interface thread; none may dispatch a message itself.
class Host {
public:
    virtual ~Host() = default;
    // Waits like poll(2) on fds (the engine's wake descriptor among them) while the
    // toolkit's own events keep being handled; returns early when input arrived.
    virtual int Wait(pollfd* fds, std::size_t count, int timeoutMs) = 0;
    virtual void DialogCreated(Window& dlg) = 0;
    virtual void DialogDestroyed(HWND hwnd) = 0;
    // Brings the screen up to date; called when the loop runs out of work, as painting is.
    virtual void Refresh() = 0;
    // A message box on screen, answered by the user or closed by the engine.
    virtual void* OpenBox(HWND owner, const BoxRecord& box) = 0;
    virtual bool BoxAnswered(void* box, int* answer) = 0;
    virtual void CloseBox(void* box) = 0;
    // True when a person answers boxes and URLs go to the desktop; false under a test
    // driver, whose scripted answers then apply as on the headless back end.
    virtual bool Live() const = 0;
    virtual bool OpenUrl(const char* url) = 0;
    // The screen the windows are on, and the part of it the desktop leaves to windows.
    virtual void Screen(RECT* monitor, RECT* work) = 0;
    // The program (or the framework for it) moved a dialog: show it there.
    virtual void DialogMoved(Window& dlg) = 0;
};

// The screen of the headless back end when no toolkit shows the windows.
inline constexpr RECT HEADLESS_SCREEN{0, 0, 1024, 768};

class Engine {
public:
    static Engine& Get();

    // Back to a clean state for a new program run. Only while no user-interface thread runs.
    void Reset(bool virtualClock);

    // ---- clock
    std::uint64_t Now() const;
    bool IsVirtual() const { return m_virtual; }

    // ---- windows
    Window* Find(HWND hwnd);
    HWND CreateDialogWindow(const res::DialogTemplate& tmpl, HWND owner, DLGPROC proc);
    void DestroyDialogWindow(HWND hwnd);
    Window* TopDialog();                // the innermost modal dialog that has not ended
    Window* OpenDialog(int templateId); // the innermost running dialog of that template
    INT_PTR RunModal(HWND hwnd);
    LRESULT Dispatch(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // The program moves a dialog: the host shows the new place.
    void MoveDialog(Window& dlg, const RECT& rect);
    // The screen and its work area: the host's, else HEADLESS_SCREEN.
    void Screen(RECT* monitor, RECT* work);
    void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void PaintNow(Window& w);

    // ---- timers
    UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse);
    BOOL KillTimer(HWND hwnd, UINT_PTR id);

    // ---- sockets
    void WatchSocket(SOCKET s, int fd, HWND hwnd, UINT msg, long events);
    void UnwatchSocket(SOCKET s);
    void SocketReceived(SOCKET s);

    // ---- message boxes
    int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT style);
    void ScriptBoxAnswer(int answer, int afterMs);
    void SetBoxObserver(std::function<void(const BoxRecord&)> observer);
    // Chooses the answer of boxes that have no scripted answer (default: the default button).
    void SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer);

    // ---- image lists
    HIMAGELIST CreateImageList(int cx, int cy, UINT flags);
    ImageList* FindImageList(HIMAGELIST h);
    void DestroyImageList(HIMAGELIST h);

    // ---- the driver side (any thread)
    void PostTask(std::function<void()> task);
    void StepTime(std::uint64_t ms); // asks the loop to let ms of virtual time pass
    void WaitIdle();                 // until the loop has nothing left to do (real clock:
                                     // at most 200 ms once the driver's tasks have run)
    bool WaitUntilIdleOr(const std::function<bool()>& uiPredicate, int timeoutMs);
    void SetFinished(bool finished);
    bool Finished();
    void RequestQuit();
    // Runs fn on the user-interface thread and waits for it (directly once the loop is gone).
    void RunOnUi(const std::function<void()>& fn);

    Record& Rec() { return m_record; }

    // The toolkit showing the windows, or none (headless). Set while no dialog exists.
    void SetHost(Host* host) { m_host = host; }
    Host* GetHost() const { return m_host; }

    // What ShellExecuteA answers: above 32 is success.
    int ShellResult() const { return m_shellResult; }
    void SetShellResult(int result) { m_shellResult = result; }

    // Runs queued work until there is none; then, with block, waits for sockets, tasks or
    // the clock. Returns when one thing has been done (or the deadline passed).
    void PumpOne(std::uint64_t deadline);

private:
    Engine() = default;
    bool RunTasks(); // whether any ran
    void PollSockets(int timeoutMs);
    bool DispatchQueued();
    bool PaintPending();
    bool FireDueTimer();
    std::uint64_t NextTimerDue() const;
    void Idle(std::uint64_t deadline);
    void DefaultDialogProcessing(Window& w, UINT msg, WPARAM wParam, LPARAM lParam);

    struct Message {
        HWND hwnd;
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        UINT period;
        std::uint64_t due;
    };
    struct Watch {
        int fd;
        HWND hwnd;
        UINT msg;
        long events;
        bool posted;
    };

    bool m_virtual = true;
    std::uint64_t m_virtualNow = 0;
    std::uint64_t m_realStart = 0;

    std::map<HWND, std::unique_ptr<Window>> m_windows;
    std::vector<HWND> m_modalStack;
    std::uintptr_t m_nextHandle = 0x1000;
    std::deque<Message> m_queue;
    std::vector<Timer> m_timers;
    std::map<SOCKET, Watch> m_watches;
    std::map<HIMAGELIST, std::unique_ptr<ImageList>> m_imageLists;

    struct ScriptedAnswer {
        int answer;
        int afterMs;
    };
    std::deque<ScriptedAnswer> m_boxScript;
    std::function<void(const BoxRecord&)> m_boxObserver;
    std::function<int(const BoxRecord&)> m_boxAnswerer;

    Record m_record;
    int m_shellResult = 42;
    Host* m_host = nullptr;

    // shared with the driver thread
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    std::uint64_t m_stepTarget = 0; // virtual time the driver asked to reach
    bool m_stepPending = false;
    bool m_idle = false;
    bool m_finished = true;
    std::atomic<bool> m_quit{false};
    std::atomic<std::uint64_t> m_activity{0}; // messages dispatched, for drivers waiting
    int m_wakeFd = -1;
};

} // namespace headless
