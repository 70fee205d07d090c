// The controls (see controls.h).
#include "platform/afx/controls.h"

#include <memory>

#include <QComboBox>
#include <QListWidget>

#include "platform/afx/qt_text.h"
#include "platform/core/wide_string.h"

IMPLEMENT_DYNAMIC(CEdit, CWnd)
IMPLEMENT_DYNAMIC(CComboBox, CWnd)
IMPLEMENT_DYNAMIC(CListBox, CWnd)

namespace {

// Where a new entry goes in a list kept sorted without regard to case: after
// every entry that does not come after it, so that entries equal but for case
// keep the order in which they were added.
template <typename TextAt>
int SortedPlace(int count, LPCWSTR text, TextAt text_at) {
    int low = 0;
    int high = count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (platform::WideCompareNoCase(text_at(middle), text) <= 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

}  // namespace

// --- CComboBox ---

void CComboBox::ResetContent() {
    if (auto* box = qobject_cast<QComboBox*>(GetSafeHwnd())) box->clear();
}

int CComboBox::AddString(LPCWSTR text) {
    auto* box = qobject_cast<QComboBox*>(GetSafeHwnd());
    if (box == nullptr) return CB_ERR;
    int index = box->count();
    if ((GetStyle() & CBS_SORT) != 0) {
        index = SortedPlace(box->count(), text, [box](int i) { return WideFromQString(box->itemText(i)); });
    }
    // Qt selects the first entry added to an empty box; the platform does not.
    const int selected = box->currentIndex();
    box->insertItem(index, QStringFromWide(text));
    box->setCurrentIndex(selected < 0 ? -1 : box->currentIndex());
    return index;
}

int CComboBox::GetCount() const {
    auto* box = qobject_cast<QComboBox*>(GetSafeHwnd());
    return box == nullptr ? CB_ERR : box->count();
}

int CComboBox::GetCurSel() const {
    auto* box = qobject_cast<QComboBox*>(GetSafeHwnd());
    if (box == nullptr || box->currentIndex() < 0) return CB_ERR;
    return box->currentIndex();
}

int CComboBox::SetCurSel(int index) {
    auto* box = qobject_cast<QComboBox*>(GetSafeHwnd());
    if (box == nullptr || index < -1 || index >= box->count()) return CB_ERR;
    box->setCurrentIndex(index);
    return index < 0 ? CB_ERR : index;
}

int CComboBox::GetLBText(int index, CString& text) const {
    auto* box = qobject_cast<QComboBox*>(GetSafeHwnd());
    if (box == nullptr || index < 0 || index >= box->count()) return CB_ERR;
    text = CString(WideFromQString(box->itemText(index)));
    return text.GetLength();
}

// --- CListBox ---

void CListBox::ResetContent() {
    if (auto* list = qobject_cast<QListWidget*>(GetSafeHwnd())) list->clear();
}

int CListBox::AddString(LPCWSTR text) {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    if (list == nullptr) return LB_ERR;
    int index = list->count();
    if ((GetStyle() & LBS_SORT) != 0) {
        index = SortedPlace(list->count(), text, [list](int i) { return WideFromQString(list->item(i)->text()); });
    }
    list->insertItem(index, QStringFromWide(text));
    return index;
}

int CListBox::GetCount() const {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    return list == nullptr ? LB_ERR : list->count();
}

int CListBox::GetText(int index, CString& text) const {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    if (list == nullptr || index < 0 || index >= list->count()) return LB_ERR;
    text = CString(WideFromQString(list->item(index)->text()));
    return text.GetLength();
}

int CListBox::GetCurSel() const {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    if (list == nullptr) return LB_ERR;
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? LB_ERR : list->row(selected.first());
}

int CListBox::SetCurSel(int index) {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    if (list == nullptr || index < -1 || index >= list->count()) return LB_ERR;
    if (index < 0) {
        list->clearSelection();
        return LB_ERR;
    }
    list->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    return index;
}

int CListBox::DeleteString(UINT index) {
    auto* list = qobject_cast<QListWidget*>(GetSafeHwnd());
    if (list == nullptr || index >= static_cast<UINT>(list->count())) return LB_ERR;
    std::unique_ptr<QListWidgetItem> removed(list->takeItem(static_cast<int>(index)));
    // Qt would select the entry that moves up into the place; the platform
    // leaves no entry selected.
    list->clearSelection();
    return list->count();
}
