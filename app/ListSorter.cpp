// The column sorter of the device list.
#include "app/ListSorter.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {
// atol with the 32-bit long of the Windows runtime: out-of-range values saturate.
std::int32_t Atol32(const char* psz) {
    long long value = std::strtoll(psz, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}
} // namespace

CListSorter::CListSorter(CListCtrl* pList, int nColumn) : m_pList(pList) {
    int nCount = m_pList->GetItemCount();
    for (int i = 0; i < nCount; ++i) {
        auto dwData = static_cast<LPARAM>(m_pList->GetItemData(i));
        CString strText = m_pList->GetItemText(i, nColumn);
        auto* pItem = new CSortItem(dwData, strText);
        m_pList->SetItem(i, 0, LVIF_PARAM, nullptr, 0, 0, 0, reinterpret_cast<LPARAM>(pItem));
    }
}

CListSorter::~CListSorter() {
    int nCount = m_pList->GetItemCount();
    for (int i = 0; i < nCount; ++i) {
        auto* pItem = reinterpret_cast<CSortItem*>(m_pList->GetItemData(i));
        m_pList->SetItem(i, 0, LVIF_PARAM, nullptr, 0, 0, 0, pItem->m_dwItemData);
        delete pItem;
    }
}

BOOL CListSorter::Sort(BOOL bAscending, int nKind) {
    LPARAM lParamSort = bAscending ? nKind : -nKind;
    return m_pList->SortItems(&CListSorter::CompareItems, static_cast<DWORD_PTR>(lParamSort));
}

int CALLBACK CListSorter::CompareItems(LPARAM lParam1, LPARAM lParam2, LPARAM lParamSort) {
    int nSign = lParamSort >= 0 ? 1 : -1;
    auto nKind = static_cast<int>(nSign * lParamSort);
    const CString& a = reinterpret_cast<CSortItem*>(lParam1)->m_strText;
    const CString& b = reinterpret_cast<CSortItem*>(lParam2)->m_strText;
    const auto* pa = reinterpret_cast<const unsigned char*>(static_cast<const char*>(a));
    const auto* pb = reinterpret_cast<const unsigned char*>(static_cast<const char*>(b));

    switch (nKind) {
    case SORT_INTEGER: {
        // The difference wraps as 32-bit arithmetic does.
        auto diff = static_cast<std::uint32_t>(Atol32(a)) - static_cast<std::uint32_t>(Atol32(b));
        return static_cast<int>(
            static_cast<std::int32_t>(diff * static_cast<std::uint32_t>(nSign)));
    }
    case SORT_REAL: {
        double diff = (std::atof(a) - std::atof(b)) * nSign;
        if (!(diff > INT_MIN && diff < INT_MAX))
            return diff > 0 ? INT_MAX : (diff < 0 ? INT_MIN : 0);
        return static_cast<int>(diff);
    }
    case SORT_TEXT:
        return _mbscmp(pa, pb) * nSign;
    case SORT_TEXT_NOCASE:
        return _mbsicmp(pa, pb) * nSign;
    case SORT_DATETIME: {
        COleDateTime timeA, timeB;
        if (!timeA.ParseDateTime(a, 0, LANG_USER_DEFAULT) ||
            !timeB.ParseDateTime(b, 0, LANG_USER_DEFAULT))
            return 0;
        if (timeA == timeB)
            return 0;
        return (timeA < timeB ? -1 : 1) * nSign;
    }
    default:
        return 0;
    }
}
