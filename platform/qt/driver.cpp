// The behaviour suite on the Qt back end: linked into a test program, this runs each
// driver's program on one lasting GUI thread (a QApplication lives once per process) with
// the windows on screen, and carries clicks, keys, typing, selection, double-clicks and
// heading clicks through the Qt widgets, so the cases exercise the widgets' wiring too.
#include "platform/headless/driver.h"
#include "platform/headless/input.h"
#include "platform/qt/host.h"
#include "platform/qt/widgets.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qtui {
namespace {

class GuiThread {
public:
    void Run(const std::function<void()>& body) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_started) {
            m_started = true;
            std::thread([this] { Loop(); }).detach();
        }
        m_job = &body;
        m_done = false;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_done; });
    }

private:
    void Loop() {
        // Tests run without a display unless one asks for a real one.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tavisol-qt-test";
        static char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        for (;;) {
            const std::function<void()>* job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_job != nullptr; });
                job = m_job;
            }
            {
                QtHost host(false);
                headless::Engine::Get().SetHost(&host);
                (*job)();
                headless::Engine::Get().SetHost(nullptr);
            }
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_job = nullptr;
            m_done = true;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    const std::function<void()>* m_job = nullptr;
    bool m_done = false;
    bool m_started = false;
};

class QtToolkit : public headless::UiToolkit {
public:
    void RunUiThread(const std::function<void()>& body) override { m_gui.Run(body); }

    bool Click(headless::Window* ctl) override {
        auto* button = qobject_cast<QPushButton*>(Widget(ctl));
        if (!button)
            return false;
        button->click();
        return true;
    }

    bool Key(headless::Window* dlg, KeyName key) override {
        QWidget* widget = Widget(dlg);
        if (!widget)
            return false;
        QWidget* target = widget->focusWidget() ? widget->focusWidget() : widget;
        QKeyEvent press(QEvent::KeyPress, key == KeyName::Enter ? Qt::Key_Return : Qt::Key_Escape,
                        Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
        return true;
    }

    bool SelectRows(headless::Window* list, const std::vector<int>& rows) override {
        auto* table = qobject_cast<QTableView*>(Widget(list));
        if (!table)
            return false;
        QItemSelection selection;
        for (int r : rows)
            if (r >= 0 && r < table->model()->rowCount())
                selection.select(table->model()->index(r, 0),
                                 table->model()->index(r, table->model()->columnCount() - 1));
        if (!rows.empty() && rows.back() >= 0 && rows.back() < table->model()->rowCount())
            table->selectionModel()->setCurrentIndex(table->model()->index(rows.back(), 0),
                                                     QItemSelectionModel::NoUpdate);
        table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        if (rows.empty())
            table->clearSelection();
        return true;
    }

    bool DoubleClickList(headless::Window* list) override {
        auto* table = qobject_cast<QTableView*>(Widget(list));
        if (!table)
            return false;
        // At the first selected row, or below the rows when none is selected.
        QModelIndexList selected = table->selectionModel()->selectedRows();
        QPoint at(4, table->viewport()->height() - 2);
        if (!selected.isEmpty())
            at = table->visualRect(selected.front()).center();
        QMouseEvent event(QEvent::MouseButtonDblClick, at, table->viewport()->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(table->viewport(), &event);
        return true;
    }

    bool ClickColumn(headless::Window* list, int column) override {
        auto* table = qobject_cast<QTableView*>(Widget(list));
        if (!table || column >= table->model()->columnCount())
            return false;
        QHeaderView* header = table->horizontalHeader();
        QPoint at(header->sectionViewportPosition(column) + 4, header->height() / 2);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(header->viewport(), &event);
        }
        return true;
    }

    bool TypeText(headless::Window* edit, const std::string& text) override {
        auto* line = qobject_cast<QLineEdit*>(Widget(edit));
        if (!line)
            return false;
        line->setFocus();
        line->selectAll();
        if (text.empty())
            line->del();
        else
            line->insert(QString::fromUtf8(text.c_str()));
        return true;
    }

private:
    // The widget of an engine window, with the screen first brought up to date, so that
    // what the test acts on is what a person would see.
    static QWidget* Widget(headless::Window* w) {
        QtHost* host = CurrentHost();
        if (!host || !w)
            return nullptr;
        host->Refresh();
        return host->WidgetOf(w->hwnd);
    }

    GuiThread m_gui;
};

QtToolkit* g_toolkit = new QtToolkit; // never destroyed: its GUI thread outlives main
const bool g_installed = (headless::SetUiToolkit(g_toolkit), true);

} // namespace
} // namespace qtui
