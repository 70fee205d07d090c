// Finding a dialog template by id (see dialog_template.h).
#include "platform/afx/dialog_template.h"

const DialogTemplate* AfxFindDialogTemplate(UINT id) {
    for (const DialogTemplate& dialog : afxDialogTemplates) {
        if (dialog.id == id) return &dialog;
    }
    return nullptr;
}
