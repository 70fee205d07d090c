// The layout of dialog templates: the template's font, the mapping of dialog
// units to pixels from that font's average character size (4 horizontal
// units to a character's width, 8 vertical units to its height), and the
// creation of a dialog's window with one widget per control. Used by the
// property pages when their window is first created, and by the sheet to
// size its tabs. Absolute placement only: templates carry no layouts.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include "platform/afx/dialog_template.h"

class CWnd;
class QWidget;

// Pixels of one average character of a dialog font: its width and height.
struct DialogBaseUnits {
    int cx;
    int cy;
};

// The template's font: "System" is the platform's own font, other faces are
// asked for by name; at the template's point size either way.
QFont DialogFont(const DialogTemplate& dialog);

// The average width (over the 52 letters of the Latin alphabet, rounded as
// the platform rounds it) and the height of `font`.
DialogBaseUnits DialogBaseUnitsOf(const QFont& font);

// A rectangle in dialog units, in pixels.
QRect MapDialogRect(DialogBaseUnits units, int x, int y, int cx, int cy);

// The size of the template's window in pixels.
QSize DialogPixelSize(const DialogTemplate& dialog);

// Creates the dialog's window as a child of `parent`: a widget of the
// template's size in its font, named "dialog<id>", holding one widget per
// control at its mapped rectangle, named by the control's id in decimal
// (controls with IDC_STATIC stay unnamed). Attaches the window to `dialog`
// and each control to a wrapper of its kind (CEdit, CComboBox, CListBox,
// otherwise CWnd) that `dialog` keeps; a button's click runs
// dialog.OnCmdMsg(id, BN_CLICKED). `dialog` must outlive the window.
QWidget* CreateDialogWindow(CWnd& dialog, const DialogTemplate& dialog_template, QWidget* parent);
