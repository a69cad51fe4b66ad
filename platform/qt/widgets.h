// The widgets of our own: a dialog that leaves its keys, close box and menu to the
// engine's dialog rules, and the device list, whose header and double-clicks become list
// notifications, with the model that shows the engine's rows.
#pragma once

#include "platform/headless/record.h"
#include "platform/winapi.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <QTableView>
#include <cstdint>
#include <vector>

namespace headless {
struct Window;
}

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

// The device list's rows as the engine holds them. The view asks only for the cells it
// paints, so a list of thousands costs a refresh what is on the screen, not its length.
// The model tells the view of the rows at the end (a row inserted at the top shows as all
// rows moving down one and one more at the end, as the engine's list view moves them) and
// that the cells changed, once per refresh in which the engine's list did.
class ListModel : public QAbstractTableModel {
public:
    ListModel(QtHost* host, HWND hwnd, QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Brings the view up to the engine's list; false when nothing had changed.
    bool Sync(const headless::Window& list);

private:
    const headless::Window* List() const;
    QtHost* m_host;
    HWND m_hwnd;
    // What the view has been told.
    int m_rows = 0;
    std::vector<QString> m_columns;
    unsigned m_changes = 0;
    bool m_synced = false;
};

class ListWidget : public QTableView {
public:
    ListWidget(QtHost* host, HWND hwnd, QWidget* parent);

    ListModel* Model() const { return m_model; }
    // What the screen holds: the number of rows the list had when it last painted a
    // different number, and when that paint ended (CLOCK_MONOTONIC nanoseconds), the moment
    // a new row could first be seen. For the benchmarks and the tests.
    int PaintedRows() const { return m_paintedRows; }
    std::uint64_t PaintedNs() const { return m_paintedNs; }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QtHost* m_host;
    HWND m_hwnd;
    ListModel* m_model;
    int m_paintedRows = 0;
    std::uint64_t m_paintedNs = 0;
};

} // namespace qtui
