// The Qt back end: the headless engine keeps the Windows rules (message queue, timers
// generated only when idle, FD_READ re-arming, nested modal loops, owner disabling), and
// this host puts its windows on the screen as Qt widgets laid out from the res/ templates,
// turns a person's input into the same engine input a test driver gives, and lets Qt's
// event loop run while the engine waits (socket readiness through QSocketNotifier).
//
// One host per program run, on the thread that owns the QApplication. Widgets mirror the
// engine's state at Refresh (when the loop is idle, as Windows paints); input never
// dispatches from inside a Qt signal: it becomes an engine task, run from the loop.
#pragma once

#include "platform/headless/engine.h"

#include <QObject>
#include <QPixmap>
#include <map>
#include <vector>

class QWidget;
class QTableWidget;
class QMessageBox;

namespace qtui {

class DialogWidget;

class QtHost : public QObject, public headless::Host {
public:
    // live: a person answers message boxes and URLs go to the desktop's handler.
    explicit QtHost(bool live);
    ~QtHost() override;

    int Wait(pollfd* fds, std::size_t count, int timeoutMs) override;
    void DialogCreated(headless::Window& dlg) override;
    void DialogDestroyed(HWND hwnd) override;
    void Refresh() override;
    void* OpenBox(HWND owner, const headless::BoxRecord& box) override;
    bool BoxAnswered(void* box, int* answer) override;
    void CloseBox(void* box) override;
    bool Live() const override { return m_live; }
    bool OpenUrl(const char* url) override;
    void Screen(RECT* monitor, RECT* work) override;
    void DialogMoved(headless::Window& dlg) override;

    // The widget showing an engine window (a dialog or one of its controls), or null.
    QWidget* WidgetOf(HWND hwnd) const;
    HWND WindowOf(const QWidget* widget) const;
    DialogWidget* DialogOf(HWND dlg) const;
    // Runs fn from the engine loop's task queue (input from a person or the test driver).
    void Input(std::function<void()> fn);

    static QPixmap IconPixmap(HICON icon, int size);

private:
    struct Shown {
        DialogWidget* widget = nullptr;
        std::map<HWND, QWidget*> controls;
        HWND shownFocus = nullptr;
        bool wasShown = false;
    };
    void RefreshDialog(headless::Window& dlg, Shown& shown);
    void RefreshList(headless::Window& list, QTableWidget* table);
    void FocusFromScreen(QWidget* now);

    bool m_live;
    bool m_refreshing = false;
    std::map<HWND, Shown> m_dialogs;
    struct Box {
        QMessageBox* widget = nullptr;
        bool answered = false;
        int answer = 0;
    };
    std::vector<std::unique_ptr<Box>> m_boxes;
};

// The icon pictures built into the program, by base name; null when there is none.
const unsigned char* IconPng(const char* name, std::size_t* size);

// The host of the running program, on its GUI thread; null when none runs.
QtHost* CurrentHost();

} // namespace qtui
