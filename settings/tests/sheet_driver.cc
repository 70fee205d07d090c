// The settings GUI tests' driver (see sheet_driver.h).
#include "settings/tests/sheet_driver.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "platform/afx/tests/modal_script.h"
#include "settings/settings_app.h"

BOOL RunSettings(std::function<void(QWidget* sheet)> script) {
    WhenModal(std::move(script));
    return theApp.InitInstance();
}

QWidget* PageWindow(QWidget* sheet, UINT dialog_id) {
    return sheet->findChild<QWidget*>(QStringLiteral("dialog%1").arg(dialog_id));
}

void ClickTab(QWidget* sheet, int index) {
    QTabBar* bar = sheet->findChild<QTabWidget*>()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

void ClickOk(QWidget* sheet) { Click(sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)); }

void ClickCancel(QWidget* sheet) { Click(sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)); }

void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }

void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

QStringList Entries(QListWidget* list) {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->item(i)->text();
    return entries;
}

QStringList Entries(QComboBox* box) {
    QStringList entries;
    for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
    return entries;
}

void ClickEntry(QListWidget* list, int index) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(index)).center());
}

void DismissNextMessageBox(MessageBoxSeen& seen) {
    WhenModal([&seen](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) {
            modal->close();
            return;
        }
        seen.shown = true;
        seen.caption = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = static_cast<int>(box->buttons().size());
        seen.owner = box->parentWidget();
        Click(box->button(QMessageBox::Ok));
    });
}

void SaveScreenshot(QWidget* window, const QString& name) { SavePicture(window->grab(), name); }

void SavePicture(const QPixmap& picture, const QString& name) {
    const QByteArray base = qgetenv("QUILLANE_TEST_BINARY_DIR");
    QDir folder(base.isEmpty() ? QDir::currentPath() : QString::fromLocal8Bit(base));
    folder.mkpath(QStringLiteral("screenshots"));
    picture.save(folder.filePath(QStringLiteral("screenshots/%1.png").arg(name)));
}
