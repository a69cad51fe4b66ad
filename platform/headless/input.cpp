// The user's input as the messages Windows would send for it.
#include "platform/headless/input.h"

namespace headless::input {

namespace {
Engine& E() {
    return Engine::Get();
}

void SendCommand(Window& dlg, int id, HWND from) {
    E().Dispatch(dlg.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(from));
}
} // namespace

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

bool Click(Window* ctl) {
    if (!Reachable(ctl))
        return false;
    Window* dlg = E().Find(ctl->parent);
    dlg->focus = ctl->hwnd; // a click gives the button the focus
    SendCommand(*dlg, ctl->id, ctl->hwnd);
    return true;
}

void PressEnter(Window* dlg) {
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
}

void PressEscape(Window* dlg) {
    if (!dlg || !dlg->enabled)
        return;
    SendCommand(*dlg, IDCANCEL, ::GetDlgItem(dlg->hwnd, IDCANCEL));
}

void SysCommand(Window* dlg, UINT id) {
    if (!dlg || !dlg->enabled)
        return;
    E().Dispatch(dlg->hwnd, WM_SYSCOMMAND, id, 0);
}

void SelectRows(Window* list, const std::vector<int>& rows) {
    if (!list)
        return;
    ++list->listChanges;
    for (ListRow& r : list->rows)
        r.state &= ~static_cast<UINT>(LVIS_SELECTED | LVIS_FOCUSED);
    for (int i : rows)
        if (i >= 0 && static_cast<std::size_t>(i) < list->rows.size())
            list->rows[static_cast<std::size_t>(i)].state |= LVIS_SELECTED;
    if (!rows.empty() && rows.back() >= 0 &&
        static_cast<std::size_t>(rows.back()) < list->rows.size())
        list->rows[static_cast<std::size_t>(rows.back())].state |= LVIS_FOCUSED;
}

bool DoubleClickList(Window* list) {
    if (!Reachable(list))
        return false;
    Window* dlg = E().Find(list->parent);
    dlg->focus = list->hwnd;
    NMLISTVIEW nm{};
    nm.hdr.hwndFrom = list->hwnd;
    nm.hdr.idFrom = static_cast<UINT_PTR>(list->id);
    nm.hdr.code = NM_DBLCLK;
    nm.iItem = ::SendMessageA(list->hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    E().Dispatch(dlg->hwnd, WM_NOTIFY, static_cast<WPARAM>(list->id),
                 reinterpret_cast<LPARAM>(&nm));
    return true;
}

bool ClickColumn(Window* list, int column) {
    if (!Reachable(list))
        return false;
    NMLISTVIEW nm{};
    nm.hdr.hwndFrom = list->hwnd;
    nm.hdr.idFrom = static_cast<UINT_PTR>(list->id);
    nm.hdr.code = LVN_COLUMNCLICK;
    nm.iItem = -1;
    nm.iSubItem = column;
    E().Dispatch(list->parent, WM_NOTIFY, static_cast<WPARAM>(list->id),
                 reinterpret_cast<LPARAM>(&nm));
    return true;
}

bool TypeText(Window* edit, const std::string& text) {
    if (!Reachable(edit) || edit->kind != res::ControlKind::Edit || (edit->style & ES_READONLY))
        return false;
    Window* dlg = E().Find(edit->parent);
    dlg->focus = edit->hwnd;
    edit->text = text;
    return true;
}

void Focus(Window* ctl) {
    if (ctl)
        ::SetFocus(ctl->hwnd);
}

} // namespace headless::input
