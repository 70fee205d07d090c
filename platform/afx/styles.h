// Constants of the MFC-style classes: window and control styles as dialog
// templates state them, notification codes, dialog results, message box
// types and the error value of list and combo boxes. Used by the afx layer
// and by the programs and templates built on it.
//
// The values are the handheld platform's own, so that a template reads the
// same as its resource script. Only the styles that the afx layer realises
// are listed; a style missing here has no effect there either.
#pragma once

#include "platform/core/types.h"

// Any window.
constexpr DWORD WS_TABSTOP = 0x00010000u;
constexpr DWORD WS_HSCROLL = 0x00100000u;
constexpr DWORD WS_VSCROLL = 0x00200000u;
constexpr DWORD WS_BORDER = 0x00800000u;

// Static text: SS_LEFT is left-aligned and wraps at word boundaries.
constexpr DWORD SS_LEFT = 0x0000u;
constexpr DWORD SS_LEFTNOWORDWRAP = 0x000Cu;

// Edit controls. Without ES_MULTILINE the control has one line.
constexpr DWORD ES_LEFT = 0x0000u;
constexpr DWORD ES_MULTILINE = 0x0004u;
constexpr DWORD ES_AUTOHSCROLL = 0x0080u;
constexpr DWORD ES_READONLY = 0x0800u;

// Buttons.
constexpr DWORD BS_PUSHBUTTON = 0x0000u;

// Combo boxes: a drop-down list takes no typing; without CBS_SORT the
// entries keep the order in which they were added.
constexpr DWORD CBS_DROPDOWNLIST = 0x0003u;
constexpr DWORD CBS_SORT = 0x0100u;

// List boxes: LBS_SORT keeps the entries sorted without regard to case.
constexpr DWORD LBS_SORT = 0x0002u;
constexpr DWORD LBS_NOINTEGRALHEIGHT = 0x0100u;

// The id of a control that nothing refers to.
constexpr int IDC_STATIC = -1;

// Notification code of a button click, as message maps bind it.
constexpr UINT BN_CLICKED = 0;

// Dialog results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Message box types.
constexpr UINT MB_OK = 0x0000u;
constexpr UINT MB_ICONEXCLAMATION = 0x0030u;

// "No such entry" from list boxes and combo boxes.
constexpr int LB_ERR = -1;
constexpr int CB_ERR = -1;
