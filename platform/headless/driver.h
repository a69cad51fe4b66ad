// The driver of the headless back end: runs a program's user-interface thread and acts on
// its windows the way a user would, from another thread (a test, the command line).
//
// Actions go to the topmost modal dialog, through its loop, and return once the loop has
// nothing left to do (a handler that opens a modal dialog leaves that dialog's loop
// running; the driver then talks to the new dialog). Readers run on the user-interface
// thread and so see a consistent state. With the virtual clock no time passes except by
// StepTime and by the delays of scripted message-box answers.
#pragma once

#include "platform/headless/record.h"
#include "platform/winapi.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace headless {

struct Window;

struct ListState {
    std::vector<std::string> columns;
    std::vector<int> columnWidths;
    std::vector<std::vector<std::string>> rows; // every row's texts, one per column
    std::vector<int> images;
    std::vector<LPARAM> itemData;
    std::vector<bool> selected;
    DWORD extendedStyle = 0;
    int imageCount = 0; // images in the small-image list
};

// A toolkit back end that shows the windows (platform/qt) runs the program's user-interface
// thread on its own GUI thread and may carry the driver's input through its widgets, so the
// same behaviour cases exercise its wiring. Each input call runs on the user-interface
// thread from the loop's task queue and returns false to leave the input to the engine.
class UiToolkit {
public:
    virtual ~UiToolkit() = default;
    // Runs body (which returns once the program has ended) with the toolkit's windows up.
    virtual void RunUiThread(const std::function<void()>& body) = 0;
    virtual bool Click(Window* ctl) = 0;
    enum class KeyName { Enter, Escape };
    virtual bool Key(Window* dlg, KeyName key) = 0;
    virtual bool SelectRows(Window* list, const std::vector<int>& rows) = 0;
    virtual bool DoubleClickList(Window* list) = 0;
    virtual bool ClickColumn(Window* list, int column) = 0;
    virtual bool TypeText(Window* edit, const std::string& text) = 0;
};
// Installed once, before any driver starts (a static initialiser of the toolkit's driver).
void SetUiToolkit(UiToolkit* toolkit);

class Driver {
public:
    explicit Driver(bool virtualClock = true);
    ~Driver(); // ends a program that is still running (without its own clean-up)
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs uiMain (for example AfxWinMain) on a new user-interface thread.
    void Start(std::function<int()> uiMain);
    // Waits until the program has returned; its result, or -1 after the time-out.
    int Join(int timeoutMs = 10000);
    bool Finished();

    // ---- waiting
    bool WaitForDialog(int templateId, int timeoutMs = 5000);
    int TopDialog(); // template id of the topmost modal dialog, 0 for none
    // The same, for code already running on the user-interface thread (WaitUntil predicates).
    static int TopDialogOnUi();
    void WaitIdle();
    // Evaluates the predicate on the user-interface thread whenever something happened,
    // until it holds (true) or the real time-out passes (false).
    bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);
    void StepTime(int ms);

    // ---- actions on the topmost dialog; false when the control is missing or disabled
    bool Click(int controlId);
    void PressEnter();
    void PressEscape();
    void CloseBox();
    void SysCommand(UINT id);
    void SetFocus(int controlId);
    void SelectRows(int listId, const std::vector<int>& rows);
    bool DoubleClickList(int listId); // NM_DBLCLK; the selection stays as it is
    bool ClickColumn(int listId, int column);
    void Paint(); // WM_PAINT now, as when the window is uncovered
    // Moves a dialog, as the user dragging it would.
    void MoveDialog(int x, int y, int dialogId = 0);
    // Replaces an edit control's text, as typing would; false for a read-only or disabled one.
    bool TypeText(int controlId, const std::string& text);
    void SetShellResult(int result); // what ShellExecuteA answers from now on

    // The next message box is answered with `answer` after `afterMs` of loop time; boxes
    // with no scripted answer get their default button at once.
    void AnswerNextBox(int answer, int afterMs = 0);
    void SetBoxObserver(std::function<void(const BoxRecord&)> observer);
    // Decides the answer of every box without a scripted one (runs on the UI thread).
    void SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer);

    // ---- failures on demand: the named call fails `count` times (-1: always)
    void FailSocketCall(const std::string& call, int wsaError, int count = 1, int filter = -1);
    void FailUiCall(const std::string& call, int count = 1);

    // ---- readers (topmost dialog unless a template id is given)
    ListState List(int listId, int dialogId = 0);
    std::vector<std::vector<std::string>> Rows(int listId, int dialogId = 0);
    bool IsEnabled(int controlId, int dialogId = 0);
    bool IsDialogEnabled(int dialogId = 0);
    std::string Text(int controlId, int dialogId = 0);
    std::string Title(int dialogId = 0);
    int ShownIcon(int controlId, int dialogId = 0); // resource id of a static icon
    // Where a dialog is on the screen, frame included, and the screen's work area.
    RECT WindowRect(int dialogId = 0);
    RECT WorkArea();
    int FocusedControl(int dialogId = 0);
    // Every control of the dialog in template order: its id and text.
    std::vector<std::pair<int, std::string>> Controls(int dialogId = 0);
    std::vector<MenuItem> SystemMenu(int dialogId = 0);
    int WindowIcon(bool big, int dialogId = 0);
    bool IsIconic(int dialogId = 0);
    Record Snapshot(); // everything remembered so far
    // Runs fn on the user-interface thread (any reading not covered above).
    void OnUi(const std::function<void()>& fn);

private:
    void Act(std::function<void()> action);
    std::thread m_thread;
    int m_exitCode = -1;
    bool m_started = false;
};

} // namespace headless
