// Sorting a list control by the text of one column. The list control sorts by item data
// only, so while a sort runs every row's item data is replaced by a record holding the
// row's own item data and its text; the sorter's destructor puts the item data back.
#pragma once

#include "platform/afx.h"

// Comparison kinds; the sort parameter is the kind, negated for a descending sort.
enum {
    SORT_INTEGER = 1,     // atol
    SORT_REAL = 2,        // atof, differences below 1 rank equal
    SORT_TEXT = 3,        // case-sensitive text, the kind the device list uses
    SORT_TEXT_NOCASE = 4, // text without regard to letter case
    SORT_DATETIME = 5,    // dates and times
};

class CSortItem {
public:
    CSortItem(LPARAM dwItemData, const CString& strText)
        : m_dwItemData(dwItemData), m_strText(strText) {}
    virtual ~CSortItem() = default;

    LPARAM m_dwItemData;
    CString m_strText;
};

class CListSorter {
public:
    CListSorter(CListCtrl* pList, int nColumn);
    virtual ~CListSorter();
    CListSorter(const CListSorter&) = delete;
    CListSorter& operator=(const CListSorter&) = delete;

    BOOL Sort(BOOL bAscending, int nKind);
    static int CALLBACK CompareItems(LPARAM lParam1, LPARAM lParam2, LPARAM lParamSort);

private:
    CListCtrl* m_pList;
};
