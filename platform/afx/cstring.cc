// CString (see cstring.h).
#include "platform/afx/cstring.h"

CString::CString(LPCWSTR text) {
    if (text != nullptr) text_ = text;
}

CString& CString::operator=(LPCWSTR text) {
    if (text == nullptr) {
        text_.clear();
    } else {
        text_ = text;
    }
    return *this;
}

CString& CString::operator+=(const CString& text) {
    text_ += text.text_;
    return *this;
}

CString& CString::operator+=(LPCWSTR text) {
    if (text != nullptr) text_ += text;
    return *this;
}

CString& CString::operator+=(WCHAR unit) {
    text_ += unit;
    return *this;
}

int CString::Delete(int index, int count) {
    if (index >= 0 && count > 0 && static_cast<size_t>(index) < text_.size()) {
        text_.erase(static_cast<size_t>(index), static_cast<size_t>(count));
    }
    return GetLength();
}

int CString::Compare(LPCWSTR other) const {
    return text_.compare(other == nullptr ? u"" : other);
}
