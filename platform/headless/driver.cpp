// The headless driver: user actions and readers, carried out on the user-interface thread
// through the engine's task queue.
#include "platform/headless/driver.h"

#include "platform/headless/engine.h"
#include "platform/headless/faults.h"
#include "platform/headless/input.h"
#include "platform/posix_sockets.h"

#include <atomic>
#include <chrono>
#include <future>

namespace headless {

namespace {
Engine& E() {
    return Engine::Get();
}

using input::ControlFor;
using input::DialogFor;
using input::Reachable;

UiToolkit* g_toolkit = nullptr;
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
        auto body = [&] {
            running.set_value();
            int code = uiMain();
            m_exitCode = code;
            E().SetFinished(true);
        };
        if (g_toolkit)
            g_toolkit->RunUiThread(body);
        else
            body();
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
        if (!g_toolkit || !g_toolkit->Click(ctl))
            input::Click(ctl);
    });
    return true;
}

void Driver::PressEnter() {
    Act([] {
        if (!g_toolkit || !g_toolkit->Key(E().TopDialog(), UiToolkit::KeyName::Enter))
            input::PressEnter(E().TopDialog());
    });
}

void Driver::PressEscape() {
    Act([] {
        if (!g_toolkit || !g_toolkit->Key(E().TopDialog(), UiToolkit::KeyName::Escape))
            input::PressEscape(E().TopDialog());
    });
}

void Driver::CloseBox() {
    SysCommand(SC_CLOSE);
}

void Driver::SysCommand(UINT id) {
    Act([id] { input::SysCommand(E().TopDialog(), id); });
}

void Driver::SetFocus(int controlId) {
    Act([controlId] { input::Focus(ControlFor(controlId, 0)); });
}

void Driver::SelectRows(int listId, const std::vector<int>& rows) {
    Act([listId, rows] {
        Window* list = ControlFor(listId, 0);
        if (!g_toolkit || !g_toolkit->SelectRows(list, rows))
            input::SelectRows(list, rows);
    });
}

bool Driver::DoubleClickList(int listId) {
    bool reachable = false;
    OnUi([&] { reachable = Reachable(ControlFor(listId, 0)); });
    if (!reachable)
        return false;
    Act([listId] {
        Window* list = ControlFor(listId, 0);
        if (!g_toolkit || !g_toolkit->DoubleClickList(list))
            input::DoubleClickList(list);
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
        if (!g_toolkit || !g_toolkit->ClickColumn(list, column))
            input::ClickColumn(list, column);
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
        if (!input::Reachable(edit) || edit->kind != res::ControlKind::Edit ||
            (edit->style & ES_READONLY))
            return;
        if (!g_toolkit || !g_toolkit->TypeText(edit, text))
            input::TypeText(edit, text);
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

RECT Driver::WindowRect(int dialogId) {
    RECT rect{};
    OnUi([&] {
        if (Window* w = DialogFor(dialogId))
            rect = w->rect;
    });
    return rect;
}

RECT Driver::WorkArea() {
    RECT monitor{}, work{};
    OnUi([&] { Engine::Get().Screen(&monitor, &work); });
    return work;
}

void Driver::MoveDialog(int x, int y, int dialogId) {
    Act([=] {
        if (Window* w = DialogFor(dialogId))
            ::SetWindowPos(w->hwnd, nullptr, x, y, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    });
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

void SetUiToolkit(UiToolkit* toolkit) {
    g_toolkit = toolkit;
}

void Driver::OnUi(const std::function<void()>& fn) {
    E().RunOnUi(fn);
}

} // namespace headless
