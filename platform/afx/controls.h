// The controls a dialog template can hold, as the program reaches them by id
// (GetDlgItem): CEdit, CComboBox (a drop-down list whose entries keep the
// order they were added in) and CListBox (with LBS_SORT: kept sorted without
// regard to case). Each wraps the widget that the layout made for the
// control; without that widget every call does nothing and the getters
// report LB_ERR / CB_ERR or nothing.
#pragma once

#include "platform/afx/window.h"

class CEdit : public CWnd {
    DECLARE_DYNAMIC(CEdit)
};

class CComboBox : public CWnd {
    DECLARE_DYNAMIC(CComboBox)
public:
    void ResetContent();
    // Appends the entry (at its sorted place with CBS_SORT) and returns its
    // index. The selection stays as it was: adding selects nothing.
    int AddString(LPCWSTR text);
    int GetCount() const;
    // The selected entry's index, or CB_ERR when none is selected.
    int GetCurSel() const;
    int SetCurSel(int index);
    // The text of entry `index`; CB_ERR (and `text` unchanged) when there is none.
    int GetLBText(int index, CString& text) const;
};

class CListBox : public CWnd {
    DECLARE_DYNAMIC(CListBox)
public:
    void ResetContent();
    // With LBS_SORT the entry goes to its place in the order without regard
    // to case, after the entries that equal it so; otherwise at the end.
    // Returns its index.
    int AddString(LPCWSTR text);
    int GetCount() const;
    // The text of entry `index`; LB_ERR (and `text` unchanged) when there is none.
    int GetText(int index, CString& text) const;
    // The selected entry's index, or LB_ERR when none is selected.
    int GetCurSel() const;
    int SetCurSel(int index);
    // Removes entry `index`; returns the number of entries left, or LB_ERR.
    int DeleteString(UINT index);
};
