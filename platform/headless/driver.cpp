// The headless driver: user actions and readers, carried out on the user-interface thread
// through the engine's task queue.
#include "platform/headless/driver.h"

#include "platform/headless/engine.h"
#include "platform/headless/faults.h"
#include "platform/posix_sockets.h"

#include <atomic>
#include <chrono>
#include <future>

namespace headless {

namespace {
Engine& E() {
    return Engine::Get();
}

Window* DialogFor(int dialogId) {
    // A dialog need not be owned by the one below it (the assign dialog has no owner), so a
    // template is looked up among all the running dialogs.
    return dialogId == 0 ? E().TopDialog() : E().OpenDialog(dialogId);
}

Window* ControlFor(int controlId, int dialogId) {
    Window* dlg = DialogFor(dialogId);
    if (!dlg)
        return nullptr;
    for (HWND c : dlg->children)
        if (Window* w = E().Find(c); w && w->id == controlId)
            return w;
    return nullptr;
}

// Input reaches a control only when it and its dialog are enabled, as with a real mouse.
bool Reachable(const Window* ctl) {
    if (!ctl || !ctl->enabled)
        return false;
    Window* dlg = E().Find(ctl->parent);
    return dlg && dlg->enabled;
}

void SendCommand(Window& dlg, int id, HWND from) {
    E().Dispatch(dlg.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(from));
}
} // namespace

Driver::Driver(bool virtualClock) {
    E().Reset(virtualClock);
    tvposix::ResetForNewRun();
    ClearUiFailures();
}

Driver::~Driver() {
    if (m_started && m_thread.joinable()) {
        if (!E().Finished()) {
            E().RequestQuit();
        }
        m_thread.join();
    }
    tvposix::ClearInjectedFailures();
    tvposix::SetFailureObserver(nullptr);
    ClearUiFailures();
}

void Driver::Start(std::function<int()> uiMain) {
    m_started = true;
    std::promise<void> running;
    auto started = running.get_future();
    m_thread = std::thread([this, uiMain = std::move(uiMain), &running] {
        running.set_value();
        int code = uiMain();
        m_exitCode = code;
        E().SetFinished(true);
    });
    started.wait();
}

int Driver::Join(int timeoutMs) {
    if (!m_started)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!E().Finished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        E().WaitUntilIdleOr([] { return false; }, 20);
    }
    if (m_thread.joinable())
        m_thread.join();
    return m_exitCode;
}

bool Driver::Finished() {
    return E().Finished();
}

bool Driver::WaitForDialog(int templateId, int timeoutMs) {
    return E().WaitUntilIdleOr(
        [templateId] {
            Window* top = E().TopDialog();
            return top && top->id == templateId;
        },
        timeoutMs);
}

int Driver::TopDialogOnUi() {
    Window* top = E().TopDialog();
    return top ? top->id : 0;
}

int Driver::TopDialog() {
    int id = 0;
    OnUi([&] {
        Window* top = E().TopDialog();
        id = top ? top->id : 0;
    });
    return id;
}

void Driver::WaitIdle() {
    E().WaitIdle();
}

bool Driver::WaitUntil(const std::function<bool()>& predicate, int timeoutMs) {
    return E().WaitUntilIdleOr(predicate, timeoutMs);
}

void Driver::StepTime(int ms) {
    E().StepTime(static_cast<std::uint64_t>(ms));
}

void Driver::Act(std::function<void()> action) {
    E().PostTask(std::move(action));
    E().WaitIdle();
}

bool Driver::Click(int controlId) {
    bool reachable = false;
    OnUi([&] { reachable = Reachable(ControlFor(controlId, 0)); });
    if (!reachable)
        return false;
    Act([controlId] {
        Window* ctl = ControlFor(controlId, 0);
        if (!Reachable(ctl))
            return;
        Window* dlg = E().Find(ctl->parent);
        dlg->focus = ctl->hwnd; // a click gives the button the focus
        SendCommand(*dlg, controlId, ctl->hwnd);
    });
    return true;
}

void Driver::PressEnter() {
    Act([] {
        Window* dlg = E().TopDialog();
        if (!dlg || !dlg->enabled)
            return;
        // Enter clicks the focused push button; elsewhere it sends the default button's id,
        // IDOK when the dialog has none.
        Window* focus = E().Find(dlg->focus);
        if (focus && focus->enabled &&
            (focus->kind == res::ControlKind::PushButton ||
             focus->kind == res::ControlKind::DefPushButton)) {
            SendCommand(*dlg, focus->id, focus->hwnd);
            return;
        }
        int id = IDOK;
        HWND from = nullptr;
        for (HWND c : dlg->children)
            if (Window* w = E().Find(c); w && w->kind == res::ControlKind::DefPushButton) {
                id = w->id;
                from = c;
            }
        // A disabled default button is not pressed by Enter either.
        if (Window* def = E().Find(from); def && !def->enabled)
            return;
        SendCommand(*dlg, id, from);
    });
}

void Driver::PressEscape() {
    Act([] {
        Window* dlg = E().TopDialog();
        if (!dlg || !dlg->enabled)
            return;
        SendCommand(*dlg, IDCANCEL, ::GetDlgItem(dlg->hwnd, IDCANCEL));
    });
}

void Driver::CloseBox() {
    SysCommand(SC_CLOSE);
}

void Driver::SysCommand(UINT id) {
    Act([id] {
        Window* dlg = E().TopDialog();
        if (!dlg || !dlg->enabled)
            return;
        E().Dispatch(dlg->hwnd, WM_SYSCOMMAND, id, 0);
    });
}

void Driver::SetFocus(int controlId) {
    Act([controlId] {
        if (Window* ctl = ControlFor(controlId, 0))
            ::SetFocus(ctl->hwnd);
    });
}

void Driver::SelectRows(int listId, const std::vector<int>& rows) {
    Act([listId, rows] {
        Window* list = ControlFor(listId, 0);
        if (!list)
            return;
        for (ListRow& r : list->rows)
            r.state &= ~static_cast<UINT>(LVIS_SELECTED | LVIS_FOCUSED);
        for (int i : rows)
            if (i >= 0 && static_cast<std::size_t>(i) < list->rows.size())
                list->rows[static_cast<std::size_t>(i)].state |= LVIS_SELECTED;
        if (!rows.empty() && rows.back() >= 0 &&
            static_cast<std::size_t>(rows.back()) < list->rows.size())
            list->rows[static_cast<std::size_t>(rows.back())].state |= LVIS_FOCUSED;
    });
}

bool Driver::DoubleClickList(int listId) {
    bool reachable = false;
    OnUi([&] { reachable = Reachable(ControlFor(listId, 0)); });
    if (!reachable)
        return false;
    Act([listId] {
        Window* list = ControlFor(listId, 0);
        if (!Reachable(list))
            return;
        Window* dlg = E().Find(list->parent);
        dlg->focus = list->hwnd;
        NMLISTVIEW nm{};
        nm.hdr.hwndFrom = list->hwnd;
        nm.hdr.idFrom = static_cast<UINT_PTR>(listId);
        nm.hdr.code = NM_DBLCLK;
        nm.iItem =
            ::SendMessageA(list->hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
        E().Dispatch(dlg->hwnd, WM_NOTIFY, static_cast<WPARAM>(listId),
                     reinterpret_cast<LPARAM>(&nm));
    });
    return true;
}

bool Driver::ClickColumn(int listId, int column) {
    bool reachable = false;
    OnUi([&] { reachable = Reachable(ControlFor(listId, 0)); });
    if (!reachable)
        return false;
    Act([listId, column] {
        Window* list = ControlFor(listId, 0);
        if (!Reachable(list))
            return;
        NMLISTVIEW nm{};
        nm.hdr.hwndFrom = list->hwnd;
        nm.hdr.idFrom = static_cast<UINT_PTR>(listId);
        nm.hdr.code = LVN_COLUMNCLICK;
        nm.iItem = -1;
        nm.iSubItem = column;
        E().Dispatch(list->parent, WM_NOTIFY, static_cast<WPARAM>(listId),
                     reinterpret_cast<LPARAM>(&nm));
    });
    return true;
}

void Driver::Paint() {
    Act([] {
        if (Window* dlg = E().TopDialog())
            E().PaintNow(*dlg);
    });
}

bool Driver::TypeText(int controlId, const std::string& text) {
    bool typed = false;
    Act([&] {
        Window* edit = ControlFor(controlId, 0);
        if (!Reachable(edit) || edit->kind != res::ControlKind::Edit || (edit->style & ES_READONLY))
            return;
        Window* dlg = E().Find(edit->parent);
        dlg->focus = edit->hwnd;
        edit->text = text;
        typed = true;
    });
    return typed;
}

void Driver::SetShellResult(int result) {
    if (!m_started) {
        E().SetShellResult(result);
        return;
    }
    OnUi([=] { E().SetShellResult(result); });
}

void Driver::AnswerNextBox(int answer, int afterMs) {
    if (!m_started) {
        E().ScriptBoxAnswer(answer, afterMs);
        return;
    }
    OnUi([=] { E().ScriptBoxAnswer(answer, afterMs); });
}

void Driver::SetBoxObserver(std::function<void(const BoxRecord&)> observer) {
    if (!m_started) {
        E().SetBoxObserver(std::move(observer)); // no loop yet: nothing else touches it
        return;
    }
    OnUi([&] { E().SetBoxObserver(observer); });
}

void Driver::SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer) {
    if (!m_started) {
        E().SetBoxAnswerer(std::move(answerer));
        return;
    }
    OnUi([&] { E().SetBoxAnswerer(answerer); });
}

void Driver::FailSocketCall(const std::string& call, int wsaError, int count, int filter) {
    tvposix::InjectFailure(call, wsaError, count, filter);
}

void Driver::FailUiCall(const std::string& call, int count) {
    InjectUiFailure(call, count);
}

ListState Driver::List(int listId, int dialogId) {
    ListState state;
    OnUi([&] {
        Window* list = ControlFor(listId, dialogId);
        if (!list)
            return;
        for (const ListColumn& c : list->columns) {
            state.columns.push_back(c.text);
            state.columnWidths.push_back(c.width);
        }
        for (const ListRow& r : list->rows) {
            std::vector<std::string> texts(std::max(list->columns.size(), r.texts.size()));
            for (std::size_t i = 0; i < r.texts.size(); ++i)
                texts[i] = r.texts[i];
            texts.resize(list->columns.size());
            state.rows.push_back(texts);
            state.images.push_back(r.image);
            state.itemData.push_back(r.lParam);
            state.selected.push_back((r.state & LVIS_SELECTED) != 0);
        }
        state.extendedStyle = list->listExStyle;
        if (ImageList* images = E().FindImageList(list->smallImages))
            state.imageCount = static_cast<int>(images->icons.size());
    });
    return state;
}

std::vector<std::vector<std::string>> Driver::Rows(int listId, int dialogId) {
    return List(listId, dialogId).rows;
}

bool Driver::IsEnabled(int controlId, int dialogId) {
    bool enabled = false;
    OnUi([&] {
        Window* w = ControlFor(controlId, dialogId);
        enabled = w && w->enabled;
    });
    return enabled;
}

bool Driver::IsDialogEnabled(int dialogId) {
    bool enabled = false;
    OnUi([&] {
        Window* w = DialogFor(dialogId);
        enabled = w && w->enabled;
    });
    return enabled;
}

std::string Driver::Text(int controlId, int dialogId) {
    std::string text;
    OnUi([&] {
        if (Window* w = ControlFor(controlId, dialogId))
            text = w->text;
    });
    return text;
}

std::string Driver::Title(int dialogId) {
    std::string text;
    OnUi([&] {
        if (Window* w = DialogFor(dialogId))
            text = w->text;
    });
    return text;
}

int Driver::ShownIcon(int controlId, int dialogId) {
    int id = 0;
    OnUi([&] {
        if (Window* w = ControlFor(controlId, dialogId))
            id = IconId(w->icon);
    });
    return id;
}

int Driver::FocusedControl(int dialogId) {
    int id = 0;
    OnUi([&] {
        Window* dlg = DialogFor(dialogId);
        Window* focus = dlg ? E().Find(dlg->focus) : nullptr;
        id = focus ? focus->id : 0;
    });
    return id;
}

std::vector<std::pair<int, std::string>> Driver::Controls(int dialogId) {
    std::vector<std::pair<int, std::string>> controls;
    OnUi([&] {
        Window* dlg = DialogFor(dialogId);
        if (!dlg)
            return;
        for (HWND c : dlg->children)
            if (Window* w = E().Find(c))
                controls.emplace_back(w->id, w->text);
    });
    return controls;
}

std::vector<MenuItem> Driver::SystemMenu(int dialogId) {
    std::vector<MenuItem> items;
    OnUi([&] {
        if (Window* w = DialogFor(dialogId))
            items = w->sysMenu;
    });
    return items;
}

int Driver::WindowIcon(bool big, int dialogId) {
    int id = 0;
    OnUi([&] {
        if (Window* w = DialogFor(dialogId))
            id = IconId(big ? w->bigIcon : w->smallIcon);
    });
    return id;
}

bool Driver::IsIconic(int dialogId) {
    bool iconic = false;
    OnUi([&] {
        Window* w = DialogFor(dialogId);
        iconic = w && w->iconic;
    });
    return iconic;
}

Record Driver::Snapshot() {
    Record copy;
    OnUi([&] { copy = E().Rec(); });
    return copy;
}

void Driver::OnUi(const std::function<void()>& fn) {
    E().RunOnUi(fn);
}

} // namespace headless
