// The settings program's dialog templates, as its resource script holds
// them: 102 "Convert" and 129 "Exception", in dialog units of the System font
// at 8 points. The pages find them here by id.
#include "platform/afx/dialog_template.h"
#include "platform/afx/styles.h"
#include "settings/resource.h"

namespace {

constexpr DialogControl kConvertControls[] = {
    {IDC_STATIC, DialogControlKind::Static,
     u"To convert a normal Memory Card to Quillane card. Select Storage Device then tap the Convert button.", 7, 7,
     125, 27, SS_LEFT},
    // The height includes the drop-down part.
    {IDC_DEVICE_LIST, DialogControlKind::ComboBox, nullptr, 7, 34, 125, 58,
     CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDC_CONVERT, DialogControlKind::Button, u"Convert", 7, 50, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_STATUS, DialogControlKind::Edit, nullptr, 7, 68, 125, 32,
     ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
};

constexpr DialogControl kExceptionControls[] = {
    {IDC_STATIC, DialogControlKind::Static,
     u"To skip a type of file from compression. Enter file type (eg. wmv), then tap the Add button.", 7, 7, 126, 26,
     SS_LEFT},
    {IDC_STATIC, DialogControlKind::Static, u"File Type:", 7, 39, 40, 8, SS_LEFT},
    {IDC_FILE_TYPE, DialogControlKind::Edit, nullptr, 54, 37, 79, 12, ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
    {IDC_ADD, DialogControlKind::Button, u"Add", 7, 55, 40, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_DELETE, DialogControlKind::Button, u"Delete", 7, 74, 40, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_TYPE_LIST, DialogControlKind::ListBox, nullptr, 54, 55, 79, 72,
     LBS_SORT | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT | WS_TABSTOP},
    {IDC_UPDATE, DialogControlKind::Button, u"Update", 7, 113, 40, 14, BS_PUSHBUTTON | WS_TABSTOP},
};

constexpr DialogTemplate kDialogTemplates[] = {
    {IDD_CONVERT, u"Convert", u"System", 8, 139, 137, kConvertControls},
    {IDD_EXCEPTION, u"Exception", u"System", 8, 140, 142, kExceptionControls},
};

}  // namespace

extern const std::span<const DialogTemplate> afxDialogTemplates = kDialogTemplates;
