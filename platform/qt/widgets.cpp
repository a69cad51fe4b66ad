// Keys, close box, context menu and list input of the Qt windows, as engine input.
#include "platform/qt/widgets.h"

#include "platform/headless/input.h"
#include "platform/qt/host.h"
#include "res/resource.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMoveEvent>
#include <QMenu>

namespace qtui {

using headless::Engine;

DialogWidget::DialogWidget(QtHost* host, HWND hwnd, QWidget* owner)
    : QDialog(owner), m_host(host), m_hwnd(hwnd) {}

void DialogWidget::SetMenuItems(const std::vector<headless::MenuItem>& items) {
    m_menu = items;
}

void DialogWidget::SysCommand(UINT id) {
    HWND hwnd = m_hwnd;
    m_host->Input([hwnd, id] { headless::input::SysCommand(Engine::Get().Find(hwnd), id); });
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
    HWND hwnd = m_hwnd;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        m_host->Input([hwnd] { headless::input::PressEnter(Engine::Get().Find(hwnd)); });
        return;
    case Qt::Key_Escape:
        m_host->Input([hwnd] { headless::input::PressEscape(Engine::Get().Find(hwnd)); });
        return;
    case Qt::Key_F1:
        // F1 is the desktops' key for help and about; it opens what the menu's About
        // entry opens.
        for (const headless::MenuItem& item : m_menu)
            if (item.id == IDM_ABOUTBOX) {
                SysCommand(IDM_ABOUTBOX);
                return;
            }
        break;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

void DialogWidget::closeEvent(QCloseEvent* event) {
    // The window stays until the program ends its dialog; the close box only asks.
    event->ignore();
    SysCommand(SC_CLOSE);
}

void DialogWidget::contextMenuEvent(QContextMenuEvent* event) {
    bool any = false;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const headless::MenuItem& item : m_menu) {
        if (item.flags & MF_SEPARATOR) {
            if (any)
                menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromUtf8(item.text.c_str()));
        if (item.id == IDM_ABOUTBOX)
            action->setShortcut(QKeySequence(Qt::Key_F1));
        UINT id = static_cast<UINT>(item.id);
        connect(action, &QAction::triggered, this, [this, id] { SysCommand(id); });
        any = true;
    }
    if (!any) {
        delete menu;
        event->ignore();
        return;
    }
    // Not exec(): the program's timers and sockets go on while the menu is open.
    menu->popup(event->globalPos());
}

void DialogWidget::changeEvent(QEvent* event) {
    // The window manager minimised or restored the window: the program hears it as the
    // system command, so that it paints its icon while minimised.
    if (event->type() == QEvent::WindowStateChange && isMinimized() != m_minimized) {
        m_minimized = isMinimized();
        SysCommand(m_minimized ? SC_MINIMIZE : SC_RESTORE);
    }
    QDialog::changeEvent(event);
}

void DialogWidget::moveEvent(QMoveEvent* event) {
    QDialog::moveEvent(event);
    // Wherever the window now is (the user or the window manager moved it, or the program
    // did), the engine knows it: a dialog opened later centres over this place.
    if (!isWindow() || !isVisible())
        return;
    HWND hwnd = m_hwnd;
    QRect frame = frameGeometry();
    m_host->Input([hwnd, frame] {
        if (headless::Window* dlg = Engine::Get().Find(hwnd))
            dlg->rect = RECT{frame.left(), frame.top(), frame.left() + frame.width(),
                             frame.top() + frame.height()};
    });
}

ListWidget::ListWidget(QtHost* host, HWND hwnd, QWidget* parent)
    : QTableWidget(parent), m_host(host), m_hwnd(hwnd) {
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setIconSize(QSize(20, 20));
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
        HWND list = m_hwnd;
        m_host->Input(
            [list, column] { headless::input::ClickColumn(Engine::Get().Find(list), column); });
    });
    connect(this, &QTableWidget::itemSelectionChanged, this, [this] {
        std::vector<int> rows;
        for (const QModelIndex& index : selectionModel()->selectedRows())
            rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        int current = currentRow();
        if (auto it = std::find(rows.begin(), rows.end(), current); it != rows.end()) {
            rows.erase(it);
            rows.push_back(current); // the focused row goes last
        }
        HWND list = m_hwnd;
        m_host->Input(
            [list, rows] { headless::input::SelectRows(Engine::Get().Find(list), rows); });
    });
}

void ListWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableWidget::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    HWND list = m_hwnd;
    m_host->Input([list] { headless::input::DoubleClickList(Engine::Get().Find(list)); });
}

} // namespace qtui
