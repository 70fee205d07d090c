// Test helper for the settings program's GUI tests: runs the program's
// start-up (theApp.InitInstance) with a script that drives the real sheet by
// clicks and typed keys, finds the pages' controls by their ids, dismisses
// message boxes while recording what they showed, and saves pictures of the
// sheet into the build folder for a person to look at (no test compares
// them).
#pragma once

#include <functional>

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "platform/core/types.h"

// Runs the program's start-up; `script` gets the sheet once it is up and must
// close it. Returns what InitInstance returned.
BOOL RunSettings(std::function<void(QWidget* sheet)> script);

// The window of page `dialog_id`, or null while it has none.
QWidget* PageWindow(QWidget* sheet, UINT dialog_id);

template <typename Widget>
Widget* PageControl(QWidget* sheet, UINT dialog_id, int control_id) {
    QWidget* page = PageWindow(sheet, dialog_id);
    return page == nullptr ? nullptr : page->findChild<Widget*>(QString::number(control_id));
}

void ClickTab(QWidget* sheet, int index);
void ClickOk(QWidget* sheet);
void ClickCancel(QWidget* sheet);
void Click(QWidget* button);

// Replaces the text of `edit` by typing `text` (after selecting all of it).
void TypeInto(QLineEdit* edit, const QString& text);
QStringList Entries(QListWidget* list);
QStringList Entries(QComboBox* box);
// Clicks entry `index` of the list.
void ClickEntry(QListWidget* list, int index);

// What a message box showed before it was dismissed.
struct MessageBoxSeen {
    bool shown = false;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    QWidget* owner = nullptr;
};

// Arms a watcher that records the next message box and dismisses it with OK.
void DismissNextMessageBox(MessageBoxSeen& seen);

// Saves a picture of `window` as <build>/screenshots/<name>.png.
void SaveScreenshot(QWidget* window, const QString& name);
void SavePicture(const QPixmap& picture, const QString& name);
