// The Qt widgets of the engine's windows, their refresh from the engine's state, and a
// person's input turned into engine input.
#include "platform/qt/host.h"

#include "platform/qt/widgets.h"

#include "platform/headless/input.h"
#include "res/resource.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <poll.h>

namespace qtui {

using headless::Engine;
using headless::Window;

namespace {
QtHost* g_current = nullptr;

Engine& E() {
    return Engine::Get();
}

// Dialog units to pixels with the dialog font's average character width and height, the
// way the Windows dialog manager measures them.
struct BaseUnits {
    int x = 7, y = 15;
    QRect Map(int x0, int y0, int cx, int cy) const {
        return QRect(x0 * x / 4, y0 * y / 8, cx * x / 4, cy * y / 8);
    }
};

QFont TemplateFont(const res::DialogTemplate& tmpl) {
    QFont font = QApplication::font();
    font.setPointSize(tmpl.pointSize);
    // The old "System" face is a bold one.
    if (QString::fromUtf8(tmpl.fontFace) == "System")
        font.setBold(true);
    return font;
}

BaseUnits Measure(const QFont& font) {
    QFontMetrics fm(font);
    int width = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    BaseUnits units;
    units.x = (width / 26 + 1) / 2;
    units.y = fm.height();
    return units;
}
} // namespace

QtHost* CurrentHost() {
    return g_current;
}

QtHost::QtHost(bool live) : m_live(live) {
    g_current = this;
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { FocusFromScreen(now); });
}

QtHost::~QtHost() {
    for (auto& [hwnd, shown] : m_dialogs)
        delete shown.widget;
    for (auto& box : m_boxes)
        delete box->widget;
    if (g_current == this)
        g_current = nullptr;
}

QPixmap QtHost::IconPixmap(HICON icon, int size) {
    const res::IconResource* icon_res = res::FindIcon(headless::IconId(icon));
    if (!icon_res)
        return {};
    std::size_t bytes = 0;
    const unsigned char* png = IconPng(icon_res->name, &bytes);
    QPixmap pixmap;
    if (!png || !pixmap.loadFromData(png, static_cast<uint>(bytes), "PNG"))
        return {};
    return pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void QtHost::Input(std::function<void()> fn) {
    E().PostTask(std::move(fn));
}

// ---- waiting -------------------------------------------------------------------------------

int QtHost::Wait(pollfd* fds, std::size_t count, int timeoutMs) {
    // Input is taken in even while the engine is busy; it only becomes tasks.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (timeoutMs != 0 && ::poll(fds, count, 0) == 0) {
        QEventLoop loop;
        std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
        for (std::size_t i = 0; i < count; ++i) {
            auto notifier = std::make_unique<QSocketNotifier>(fds[i].fd, QSocketNotifier::Read);
            connect(notifier.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
            notifiers.push_back(std::move(notifier));
        }
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (timeoutMs > 0)
            timer.start(timeoutMs);
        loop.exec();
    }
    return ::poll(fds, count, 0);
}

// ---- dialogs -------------------------------------------------------------------------------

void QtHost::DialogCreated(Window& dlg) {
    const res::DialogTemplate* tmpl = res::FindDialog(dlg.id);
    if (!tmpl)
        return;
    Shown shown;
    DialogWidget* owner = DialogOf(dlg.parent);
    auto* widget = new DialogWidget(this, dlg.hwnd, owner);
    Qt::WindowFlags flags =
        (owner ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (tmpl->style & WS_SYSMENU)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (tmpl->style & WS_MINIMIZEBOX)
        flags |= Qt::WindowMinimizeButtonHint;
    widget->setWindowFlags(flags);
    QFont font = TemplateFont(*tmpl);
    widget->setFont(font);
    BaseUnits units = Measure(font);
    widget->setFixedSize(units.Map(0, 0, tmpl->cx, tmpl->cy).size());
    widget->setWindowTitle(QString::fromUtf8(dlg.text.c_str()));

    for (std::size_t i = 0; i < tmpl->controls.size(); ++i) {
        const res::ControlTemplate& c = tmpl->controls[i];
        HWND hwnd = dlg.children[i];
        QRect rect = units.Map(c.x, c.y, c.cx, c.cy);
        QWidget* control = nullptr;
        switch (c.kind) {
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton: {
            auto* button = new QPushButton(QString::fromUtf8(c.text), widget);
            button->setAutoDefault(false);
            button->setDefault(c.kind == res::ControlKind::DefPushButton);
            connect(button, &QPushButton::clicked, this,
                    [this, hwnd] { Input([hwnd] { headless::input::Click(E().Find(hwnd)); }); });
            control = button;
            break;
        }
        case res::ControlKind::StaticText: {
            auto* label = new QLabel(QString::fromUtf8(c.text), widget);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(c.cy > 8);
            // A one-line text measured in another face may run longer than its box: it
            // keeps its line, as far as the dialog reaches, rather than lose its end.
            if (c.cy <= 8)
                rect.setWidth(std::max(rect.width(),
                                       std::min(label->sizeHint().width(),
                                                units.Map(0, 0, tmpl->cx, 0).width() - rect.x())));
            control = label;
            break;
        }
        case res::ControlKind::StaticRect: {
            auto* frame = new QFrame(widget);
            if ((c.style & 0x1F) == SS_BLACKRECT) {
                frame->setAutoFillBackground(true);
                QPalette palette = frame->palette();
                palette.setColor(QPalette::Window, Qt::black);
                frame->setPalette(palette);
            } else {
                frame->setFrameShape(QFrame::Box);
                frame->setLineWidth(1);
                QPalette palette = frame->palette();
                palette.setColor(QPalette::WindowText, Qt::black);
                frame->setPalette(palette);
            }
            rect.setHeight(std::max(rect.height(), 1));
            control = frame;
            break;
        }
        case res::ControlKind::StaticIcon: {
            // An icon control takes the icon's own size, whatever the template says.
            auto* label = new QLabel(widget);
            rect.setSize(QSize(32, 32));
            control = label;
            break;
        }
        case res::ControlKind::Edit: {
            auto* edit = new QLineEdit(widget);
            edit->setReadOnly((c.style & ES_READONLY) != 0);
            connect(edit, &QLineEdit::textEdited, this, [this, hwnd](const QString& text) {
                std::string utf8 = text.toStdString();
                Input([hwnd, utf8] { headless::input::TypeText(E().Find(hwnd), utf8); });
            });
            control = edit;
            break;
        }
        case res::ControlKind::ListView: {
            auto* table = new ListWidget(this, hwnd, widget);
            control = table;
            break;
        }
        }
        if (!control)
            continue;
        control->setGeometry(rect);
        control->setFocusPolicy((c.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::NoFocus);
        shown.controls[hwnd] = control;
    }
    // Tab order is template order.
    QWidget* previous = nullptr;
    for (HWND h : dlg.children) {
        QWidget* w = shown.controls.count(h) ? shown.controls[h] : nullptr;
        if (!w || w->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    shown.widget = widget;
    m_dialogs[dlg.hwnd] = shown;
    // The engine places the window by its size on this screen (the window manager's frame,
    // where there is one, is not known before the window is shown).
    dlg.client = RECT{0, 0, widget->width(), widget->height()};
    dlg.rect = RECT{dlg.rect.left, dlg.rect.top, dlg.rect.left + widget->width(),
                    dlg.rect.top + widget->height()};
}

void QtHost::DialogDestroyed(HWND hwnd) {
    auto it = m_dialogs.find(hwnd);
    if (it == m_dialogs.end())
        return;
    DialogWidget* widget = it->second.widget;
    m_dialogs.erase(it);
    widget->hide();
    widget->deleteLater();
}

QWidget* QtHost::WidgetOf(HWND hwnd) const {
    for (const auto& [dlg, shown] : m_dialogs) {
        if (dlg == hwnd)
            return shown.widget;
        auto it = shown.controls.find(hwnd);
        if (it != shown.controls.end())
            return it->second;
    }
    return nullptr;
}

HWND QtHost::WindowOf(const QWidget* widget) const {
    for (const auto& [dlg, shown] : m_dialogs) {
        if (shown.widget == widget)
            return dlg;
        for (const auto& [hwnd, control] : shown.controls)
            if (control == widget)
                return hwnd;
    }
    return nullptr;
}

DialogWidget* QtHost::DialogOf(HWND dlg) const {
    auto it = m_dialogs.find(dlg);
    return it == m_dialogs.end() ? nullptr : it->second.widget;
}

// ---- the screen from the engine's state ---------------------------------------------------

void QtHost::Refresh() {
    m_refreshing = true;
    for (auto& [hwnd, shown] : m_dialogs)
        if (Window* dlg = E().Find(hwnd))
            RefreshDialog(*dlg, shown);
    m_refreshing = false;
}

void QtHost::RefreshDialog(Window& dlg, Shown& shown) {
    DialogWidget* widget = shown.widget;
    QString title = QString::fromUtf8(dlg.text.c_str());
    if (widget->windowTitle() != title)
        widget->setWindowTitle(title);
    if (dlg.bigIcon && widget->windowIcon().isNull())
        widget->setWindowIcon(QIcon(IconPixmap(dlg.bigIcon, 32)));
    widget->SetMenuItems(dlg.sysMenu);
    if (widget->isEnabled() != dlg.enabled)
        widget->setEnabled(dlg.enabled);

    for (HWND h : dlg.children) {
        Window* ctl = E().Find(h);
        auto it = shown.controls.find(h);
        if (!ctl || it == shown.controls.end())
            continue;
        QWidget* control = it->second;
        if (control->isEnabled() != ctl->enabled)
            control->setEnabled(ctl->enabled);
        QString text = QString::fromUtf8(ctl->text.c_str());
        switch (ctl->kind) {
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton:
            if (auto* button = static_cast<QPushButton*>(control); button->text() != text)
                button->setText(text);
            break;
        case res::ControlKind::StaticText:
            if (auto* label = static_cast<QLabel*>(control); label->text() != text)
                label->setText(text);
            break;
        case res::ControlKind::Edit:
            if (auto* edit = static_cast<QLineEdit*>(control); edit->text() != text)
                edit->setText(text);
            break;
        case res::ControlKind::StaticIcon: {
            auto* label = static_cast<QLabel*>(control);
            qint64 key = static_cast<qint64>(reinterpret_cast<std::uintptr_t>(ctl->icon));
            if (label->property("icon").toLongLong() != key || !label->property("icon").isValid()) {
                label->setPixmap(IconPixmap(ctl->icon, 32));
                label->setProperty("icon", key);
            }
            break;
        }
        case res::ControlKind::ListView:
            RefreshList(*ctl, static_cast<QTableWidget*>(control));
            break;
        default:
            break;
        }
    }

    if (!dlg.ended && !shown.wasShown) {
        shown.wasShown = true;
        // Where the engine put it, not where Qt or the window manager would.
        widget->move(dlg.rect.left, dlg.rect.top);
        widget->show();
        if (QGuiApplication::platformName() != "offscreen") {
            widget->raise();
            widget->activateWindow();
        }
    }
    if (dlg.focus != shown.shownFocus) {
        shown.shownFocus = dlg.focus;
        if (QWidget* focus = shown.controls.count(dlg.focus) ? shown.controls[dlg.focus] : nullptr)
            focus->setFocus(Qt::OtherFocusReason);
    }
}

void QtHost::RefreshList(Window& list, QTableWidget* table) {
    // The engine's state is the truth: showing it is not the user's selecting.
    QSignalBlocker blocker(table);
    table->setShowGrid((list.listExStyle & LVS_EX_GRIDLINES) != 0);
    table->setSelectionBehavior((list.listExStyle & LVS_EX_FULLROWSELECT)
                                    ? QAbstractItemView::SelectRows
                                    : QAbstractItemView::SelectItems);
    int columns = static_cast<int>(list.columns.size());
    if (table->columnCount() != columns)
        table->setColumnCount(columns);
    for (int c = 0; c < columns; ++c) {
        const headless::ListColumn& column = list.columns[static_cast<std::size_t>(c)];
        QTableWidgetItem* header = table->horizontalHeaderItem(c);
        QString text = QString::fromUtf8(column.text.c_str());
        if (!header || header->text() != text) {
            header = new QTableWidgetItem(text);
            header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            table->setHorizontalHeaderItem(c, header);
        }
        if (table->columnWidth(c) != column.width)
            table->setColumnWidth(c, column.width);
    }
    headless::ImageList* images = E().FindImageList(list.smallImages);
    int rows = static_cast<int>(list.rows.size());
    if (table->rowCount() != rows)
        table->setRowCount(rows);
    QItemSelection selection;
    for (int r = 0; r < rows; ++r) {
        const headless::ListRow& row = list.rows[static_cast<std::size_t>(r)];
        for (int c = 0; c < columns; ++c) {
            std::size_t ci = static_cast<std::size_t>(c);
            QString text = QString::fromUtf8(ci < row.texts.size() ? row.texts[ci].c_str() : "");
            QTableWidgetItem* item = table->item(r, c);
            if (!item) {
                item = new QTableWidgetItem;
                item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
                table->setItem(r, c, item);
            }
            if (item->text() != text)
                item->setText(text);
            if (c == 0) {
                HICON icon = images && row.image >= 0 &&
                                     static_cast<std::size_t>(row.image) < images->icons.size()
                                 ? images->icons[static_cast<std::size_t>(row.image)]
                                 : nullptr;
                qint64 key = static_cast<qint64>(reinterpret_cast<std::uintptr_t>(icon));
                if (item->data(Qt::UserRole).toLongLong() != key) {
                    item->setIcon(QIcon(IconPixmap(icon, images ? images->cx : 16)));
                    item->setData(Qt::UserRole, key);
                }
            }
        }
        if (row.state & LVIS_SELECTED)
            selection.select(table->model()->index(r, 0),
                             table->model()->index(r, std::max(columns - 1, 0)));
    }
    QItemSelectionModel* model = table->selectionModel();
    if (model->selection() != selection) {
        model->select(selection, QItemSelectionModel::ClearAndSelect);
    }
}

void QtHost::FocusFromScreen(QWidget* now) {
    if (m_refreshing || !now)
        return;
    HWND hwnd = WindowOf(now);
    if (!hwnd)
        return;
    for (auto& [dlg, shown] : m_dialogs)
        if (shown.controls.count(hwnd))
            shown.shownFocus = hwnd;
    Input([hwnd] {
        Window* ctl = E().Find(hwnd);
        if (Window* dlg = ctl ? E().Find(ctl->parent) : nullptr)
            dlg->focus = hwnd;
    });
}

// ---- message boxes ------------------------------------------------------------------------

void* QtHost::OpenBox(HWND owner, const headless::BoxRecord& record) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (record.style & MB_ICONMASK) {
    case MB_ICONHAND:
        icon = QMessageBox::Critical;
        break;
    case MB_ICONQUESTION:
        icon = QMessageBox::Question;
        break;
    case MB_ICONEXCLAMATION:
        icon = QMessageBox::Warning;
        break;
    case MB_ICONASTERISK:
        icon = QMessageBox::Information;
        break;
    default:
        break;
    }
    auto box = std::make_unique<Box>();
    auto* widget = new QMessageBox(icon, QString::fromUtf8(record.caption.c_str()),
                                   QString::fromUtf8(record.text.c_str()), QMessageBox::NoButton,
                                   DialogOf(owner));
    widget->setTextFormat(Qt::PlainText);
    widget->setWindowModality(Qt::NonModal); // the engine disables the owner itself
    struct Button {
        const char* text;
        int id;
        QMessageBox::ButtonRole role;
    };
    std::vector<Button> buttons;
    switch (record.style & MB_TYPEMASK) {
    case MB_OKCANCEL:
        buttons = {{"OK", IDOK, QMessageBox::AcceptRole},
                   {"Cancel", IDCANCEL, QMessageBox::RejectRole}};
        break;
    case MB_ABORTRETRYIGNORE:
        buttons = {{"Abort", IDABORT, QMessageBox::RejectRole},
                   {"Retry", IDRETRY, QMessageBox::AcceptRole},
                   {"Ignore", IDIGNORE, QMessageBox::AcceptRole}};
        break;
    case MB_YESNOCANCEL:
        buttons = {{"Yes", IDYES, QMessageBox::YesRole},
                   {"No", IDNO, QMessageBox::NoRole},
                   {"Cancel", IDCANCEL, QMessageBox::RejectRole}};
        break;
    case MB_YESNO:
        buttons = {{"Yes", IDYES, QMessageBox::YesRole}, {"No", IDNO, QMessageBox::NoRole}};
        break;
    case MB_RETRYCANCEL:
        buttons = {{"Retry", IDRETRY, QMessageBox::AcceptRole},
                   {"Cancel", IDCANCEL, QMessageBox::RejectRole}};
        break;
    default:
        buttons = {{"OK", IDOK, QMessageBox::AcceptRole}};
        break;
    }
    int defaultIndex = static_cast<int>((record.style & MB_DEFMASK) >> 8);
    Box* raw = box.get();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        QPushButton* button = widget->addButton(buttons[i].text, buttons[i].role);
        int id = buttons[i].id;
        connect(button, &QPushButton::clicked, this, [raw, id] {
            raw->answered = true;
            raw->answer = id;
            E().PostTask([] {}); // wakes the box's loop
        });
        if (static_cast<int>(i) == defaultIndex)
            widget->setDefaultButton(button);
        // The close box and Escape answer Cancel, or OK when that is the only button.
        if (id == IDCANCEL || buttons.size() == 1)
            widget->setEscapeButton(button);
    }
    widget->show();
    box->widget = widget;
    m_boxes.push_back(std::move(box));
    return raw;
}

bool QtHost::BoxAnswered(void* box, int* answer) {
    auto* b = static_cast<Box*>(box);
    if (b->answered)
        *answer = b->answer;
    return b->answered;
}

void QtHost::CloseBox(void* box) {
    auto it = std::find_if(m_boxes.begin(), m_boxes.end(),
                           [box](const std::unique_ptr<Box>& b) { return b.get() == box; });
    if (it == m_boxes.end())
        return;
    (*it)->widget->hide();
    (*it)->widget->deleteLater();
    m_boxes.erase(it);
}

void QtHost::Screen(RECT* monitor, RECT* work) {
    QScreen* screen = QGuiApplication::primaryScreen();
    QRect whole = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    QRect available = screen ? screen->availableGeometry() : whole;
    *monitor =
        RECT{whole.left(), whole.top(), whole.left() + whole.width(), whole.top() + whole.height()};
    *work = RECT{available.left(), available.top(), available.left() + available.width(),
                 available.top() + available.height()};
}

void QtHost::DialogMoved(Window& dlg) {
    if (DialogWidget* widget = DialogOf(dlg.hwnd))
        widget->move(dlg.rect.left, dlg.rect.top);
}

bool QtHost::OpenUrl(const char* url) {
    QString text = QString::fromUtf8(url);
    QUrl parsed(text);
    if (parsed.isValid())
        return QDesktopServices::openUrl(parsed);
    // Windows hands the text to the browser as it stands, whatever it holds (a "No IP" row
    // gives "http://No IP/admin/"), and it fails only when nothing could be started: so
    // here, through the desktop's own opener, which Qt would not call with such a text.
    return QProcess::startDetached("xdg-open", {text});
}

} // namespace qtui
