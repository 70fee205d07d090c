// CString: the growable UTF-16 text of the MFC-style classes, used for the
// text members that dialog data exchange binds to controls. A thin value type
// over std::u16string; not a general string library (no formatting, no
// reference counting, no locale).
#pragma once

#include <string>
#include <string_view>

#include "platform/core/types.h"

class CString {
public:
    CString() = default;
    // A null pointer gives the empty text.
    CString(LPCWSTR text);  // NOLINT: converts like the platform's text type
    CString(std::u16string_view text) : text_(text) {}

    CString& operator=(LPCWSTR text);
    CString& operator+=(const CString& text);
    CString& operator+=(LPCWSTR text);
    CString& operator+=(WCHAR unit);

    int GetLength() const { return static_cast<int>(text_.size()); }
    BOOL IsEmpty() const { return text_.empty() ? TRUE : FALSE; }
    void Empty() { text_.clear(); }

    // The unit at `index`, which must lie within the text.
    WCHAR GetAt(int index) const { return text_.at(static_cast<size_t>(index)); }

    // Removes up to `count` units from `index` on; returns the new length.
    // Indexes outside the text remove nothing.
    int Delete(int index, int count = 1);

    // Code-unit order, regarding case: negative, zero or positive.
    int Compare(LPCWSTR other) const;

    LPCWSTR GetString() const { return text_.c_str(); }
    operator LPCWSTR() const { return text_.c_str(); }  // NOLINT: as the platform's text type
    const std::u16string& str() const { return text_; }

    friend bool operator==(const CString& a, const CString& b) { return a.text_ == b.text_; }
    friend bool operator==(const CString& a, LPCWSTR b) { return a.Compare(b) == 0; }

private:
    std::u16string text_;
};
