// The headless list view: the LVM_* messages the program sends, with the list view's own
// rules (inserting at i moves rows i... down; selection, image and item data travel with
// their row; the sort callback gets the rows' item data and the caller's parameter).
#include "platform/headless/engine.h"

#include <cstring>
#include <time.h>

namespace headless {

namespace {

std::string TextOf(const ListRow& row, int sub) {
    if (sub < 0 || static_cast<std::size_t>(sub) >= row.texts.size())
        return {};
    return row.texts[static_cast<std::size_t>(sub)];
}

void SetText(ListRow& row, int sub, const char* text) {
    if (sub < 0)
        return;
    if (static_cast<std::size_t>(sub) >= row.texts.size())
        row.texts.resize(static_cast<std::size_t>(sub) + 1);
    row.texts[static_cast<std::size_t>(sub)] = text ? text : "";
}

int CopyOut(const std::string& text, LPSTR buf, int max) {
    if (!buf || max <= 0)
        return 0;
    int n = static_cast<int>(text.size());
    if (n > max - 1)
        n = max - 1;
    std::memcpy(buf, text.data(), static_cast<std::size_t>(n));
    buf[n] = '\0';
    return n;
}

void NoteRowInserted(Record& record) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
                       static_cast<std::uint64_t>(now.tv_nsec);
    if (record.rowsInserted++ == 0)
        record.firstRowNs = ns;
    record.lastRowNs = ns;
}

bool ValidRow(const Window& w, WPARAM index) {
    return index < w.rows.size();
}

// A merge sort of our own: the callback may rank rows inconsistently (texts that compare
// equal to everything), which the standard sorts do not allow; this one stays in bounds and
// stable whatever the callback answers.
void MergeSort(std::deque<ListRow>& rows, PFNLVCOMPARE compare, LPARAM param) {
    if (rows.size() < 2)
        return;
    std::deque<ListRow> scratch(rows.size());
    for (std::size_t width = 1; width < rows.size(); width *= 2) {
        for (std::size_t lo = 0; lo < rows.size(); lo += 2 * width) {
            std::size_t mid = std::min(lo + width, rows.size());
            std::size_t hi = std::min(lo + 2 * width, rows.size());
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (compare(rows[j].lParam, rows[i].lParam, param) < 0)
                    scratch[k++] = std::move(rows[j++]);
                else
                    scratch[k++] = std::move(rows[i++]);
            }
            while (i < mid)
                scratch[k++] = std::move(rows[i++]);
            while (j < hi)
                scratch[k++] = std::move(rows[j++]);
        }
        rows.swap(scratch);
    }
}

} // namespace

LRESULT ListViewMessage(Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case LVM_GETITEMCOUNT:
    case LVM_GETEXTENDEDLISTVIEWSTYLE:
    case LVM_GETITEMA:
    case LVM_GETITEMTEXTA:
    case LVM_GETITEMSTATE:
    case LVM_GETNEXTITEM:
        break;
    default:
        ++w.listChanges; // anything else may change what the list shows
        break;
    }
    switch (msg) {
    case LVM_GETITEMCOUNT:
        return static_cast<LRESULT>(w.rows.size());
    case LVM_SETIMAGELIST: {
        HIMAGELIST old = w.smallImages;
        if (wParam == LVSIL_SMALL)
            w.smallImages = reinterpret_cast<HIMAGELIST>(lParam);
        return reinterpret_cast<LRESULT>(old);
    }
    case LVM_SETEXTENDEDLISTVIEWSTYLE: {
        DWORD old = w.listExStyle;
        DWORD mask = wParam ? static_cast<DWORD>(wParam) : 0xFFFFFFFFu;
        w.listExStyle = (w.listExStyle & ~mask) | (static_cast<DWORD>(lParam) & mask);
        return old;
    }
    case LVM_GETEXTENDEDLISTVIEWSTYLE:
        return w.listExStyle;
    case LVM_INSERTCOLUMNA: {
        const auto* col = reinterpret_cast<const LVCOLUMNA*>(lParam);
        if (!col)
            return -1;
        std::size_t at = std::min<std::size_t>(wParam, w.columns.size());
        ListColumn c;
        if (col->mask & LVCF_TEXT)
            c.text = col->pszText ? col->pszText : "";
        if (col->mask & LVCF_FMT)
            c.fmt = col->fmt;
        if (col->mask & LVCF_WIDTH)
            c.width = col->cx;
        w.columns.insert(w.columns.begin() + static_cast<std::ptrdiff_t>(at), c);
        return static_cast<LRESULT>(at);
    }
    case LVM_INSERTITEMA: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        if (!item || item->iItem < 0 || item->iSubItem != 0)
            return -1;
        std::size_t at =
            std::min<std::size_t>(static_cast<std::size_t>(item->iItem), w.rows.size());
        ListRow row;
        if (item->mask & LVIF_TEXT)
            SetText(row, 0, item->pszText);
        if (item->mask & LVIF_IMAGE)
            row.image = item->iImage;
        if (item->mask & LVIF_STATE)
            row.state = item->state & item->stateMask;
        if (item->mask & LVIF_PARAM)
            row.lParam = item->lParam;
        w.rows.insert(w.rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
        NoteRowInserted(Engine::Get().Rec());
        return static_cast<LRESULT>(at);
    }
    case LVM_SETITEMA: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        if (!item || item->iItem < 0 || !ValidRow(w, static_cast<WPARAM>(item->iItem)))
            return FALSE;
        ListRow& row = w.rows[static_cast<std::size_t>(item->iItem)];
        if (item->mask & LVIF_TEXT)
            SetText(row, item->iSubItem, item->pszText);
        if (item->iSubItem == 0) {
            if (item->mask & LVIF_IMAGE)
                row.image = item->iImage;
            if (item->mask & LVIF_STATE)
                row.state = (row.state & ~item->stateMask) | (item->state & item->stateMask);
            if (item->mask & LVIF_PARAM)
                row.lParam = item->lParam;
        }
        return TRUE;
    }
    case LVM_GETITEMA: {
        auto* item = reinterpret_cast<LVITEMA*>(lParam);
        if (!item || item->iItem < 0 || !ValidRow(w, static_cast<WPARAM>(item->iItem)))
            return FALSE;
        const ListRow& row = w.rows[static_cast<std::size_t>(item->iItem)];
        if (item->mask & LVIF_TEXT)
            CopyOut(TextOf(row, item->iSubItem), item->pszText, item->cchTextMax);
        if (item->mask & LVIF_IMAGE)
            item->iImage = row.image;
        if (item->mask & LVIF_STATE)
            item->state = row.state & item->stateMask;
        if (item->mask & LVIF_PARAM)
            item->lParam = row.lParam;
        return TRUE;
    }
    case LVM_SETITEMTEXTA: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        if (!item || !ValidRow(w, wParam))
            return FALSE;
        SetText(w.rows[wParam], item->iSubItem, item->pszText);
        return TRUE;
    }
    case LVM_GETITEMTEXTA: {
        auto* item = reinterpret_cast<LVITEMA*>(lParam);
        if (!item || !ValidRow(w, wParam))
            return CopyOut("", item ? item->pszText : nullptr, item ? item->cchTextMax : 0);
        return CopyOut(TextOf(w.rows[wParam], item->iSubItem), item->pszText, item->cchTextMax);
    }
    case LVM_SETITEMSTATE: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lParam);
        if (!item)
            return FALSE;
        auto apply = [item](ListRow& row) {
            row.state = (row.state & ~item->stateMask) | (item->state & item->stateMask);
        };
        if (static_cast<INT_PTR>(wParam) == -1) {
            for (ListRow& row : w.rows)
                apply(row);
            return TRUE;
        }
        if (!ValidRow(w, wParam))
            return FALSE;
        apply(w.rows[wParam]);
        return TRUE;
    }
    case LVM_GETITEMSTATE:
        if (!ValidRow(w, wParam))
            return 0;
        return w.rows[wParam].state & static_cast<UINT>(lParam);
    case LVM_GETNEXTITEM: {
        int start = static_cast<int>(static_cast<INT_PTR>(wParam));
        UINT flags = LOWORD(lParam);
        for (int i = start + 1; i < static_cast<int>(w.rows.size()); ++i) {
            if (flags == LVNI_ALL)
                return i;
            if ((flags & LVNI_SELECTED) &&
                (w.rows[static_cast<std::size_t>(i)].state & LVIS_SELECTED))
                return i;
            if ((flags & LVNI_FOCUSED) &&
                (w.rows[static_cast<std::size_t>(i)].state & LVIS_FOCUSED))
                return i;
        }
        return -1;
    }
    case LVM_DELETEALLITEMS:
        w.rows.clear();
        return TRUE;
    case LVM_SORTITEMS: {
        auto compare = reinterpret_cast<PFNLVCOMPARE>(lParam);
        if (!compare)
            return FALSE;
        MergeSort(w.rows, compare, static_cast<LPARAM>(wParam));
        return TRUE;
    }
    default:
        return 0;
    }
}

} // namespace headless
