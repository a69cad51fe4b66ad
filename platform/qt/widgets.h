// The two widgets of our own: a dialog that leaves its keys, close box and menu to the
// engine's dialog rules, and the device list, whose header and double-clicks become list
// notifications.
#pragma once

#include "platform/headless/record.h"
#include "platform/winapi.h"

#include <QDialog>
#include <QTableWidget>
#include <vector>

namespace qtui {

class QtHost;

class DialogWidget : public QDialog {
public:
    DialogWidget(QtHost* host, HWND hwnd, QWidget* owner);
    // The entries the program appended to its system menu: shown as the window's context
    // menu, since a Linux window manager's menu cannot take them.
    void SetMenuItems(const std::vector<headless::MenuItem>& items);
    HWND Hwnd() const { return m_hwnd; }

    void accept() override {}
    void reject() override {}

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void SysCommand(UINT id);
    QtHost* m_host;
    HWND m_hwnd;
    std::vector<headless::MenuItem> m_menu;
    bool m_minimized = false;
};

class ListWidget : public QTableWidget {
public:
    ListWidget(QtHost* host, HWND hwnd, QWidget* parent);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QtHost* m_host;
    HWND m_hwnd;
};

} // namespace qtui
