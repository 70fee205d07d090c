// Dialog templates as data: what a program's resource script would hold for
// each dialog (id, caption, font, size in dialog units) and its controls (id,
// kind, text, rectangle in dialog units, styles). A property page finds its
// template by id in the program's table; the layout (dialog_layout.h) turns
// a template into widgets. Plain constant data: no widgets here.
#pragma once

#include <span>

#include "platform/core/types.h"

enum class DialogControlKind { Static, Edit, Button, ComboBox, ListBox };

struct DialogControl {
    int id;  // IDC_STATIC for a control nothing refers to
    DialogControlKind kind;
    LPCWSTR text;  // null for none
    int x, y, cx, cy;  // dialog units
    DWORD style;
};

struct DialogTemplate {
    UINT id;
    LPCWSTR caption;
    LPCWSTR font_face;  // "System" stands for the platform's own font
    int point_size;
    int cx, cy;  // dialog units
    std::span<const DialogControl> controls;
};

// The program's dialog templates, as its resource script lists them. Every
// program built on these classes, and every test of them, defines this table
// once.
extern const std::span<const DialogTemplate> afxDialogTemplates;

// The template with `id` in the program's table, or null.
const DialogTemplate* AfxFindDialogTemplate(UINT id);
