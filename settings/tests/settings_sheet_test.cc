// Tests of the settings program's start-up, sheet and Exception page, driving
// the real widgets by clicks and typed keys under Qt's offscreen platform and
// checking the `Exception` value in the real registry store. No card is
// mounted here; conversions are tested in convert_page_test.cc.
#include <memory>
#include <optional>
#include <string>

#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>

#include "platform/afx/qt_text.h"
#include "platform/afx/tests/modal_script.h"
#include "platform/afx/win_app.h"
#include "platform/afx/window.h"
#include "settings/convert_page.h"
#include "settings/exception_list.h"
#include "settings/exception_page.h"
#include "settings/resource.h"
#include "settings/settings_app.h"
#include "settings/tests/sheet_driver.h"
#include "settings/tests/test_registry.h"

Q_DECLARE_METATYPE(const CRuntimeClass*)

namespace {

QLineEdit* FileTypeBox(QWidget* sheet) { return PageControl<QLineEdit>(sheet, IDD_EXCEPTION, IDC_FILE_TYPE); }
QListWidget* TypeList(QWidget* sheet) { return PageControl<QListWidget>(sheet, IDD_EXCEPTION, IDC_TYPE_LIST); }
QPushButton* Button(QWidget* sheet, int id) { return PageControl<QPushButton>(sheet, IDD_EXCEPTION, id); }

// Types each text into the file type box and taps Add after each.
void AddTypes(QWidget* sheet, const QStringList& typed) {
    for (const QString& text : typed) {
        TypeInto(FileTypeBox(sheet), text);
        Click(Button(sheet, IDC_ADD));
    }
}

std::u16string U16(const QString& text) { return WideFromQString(text); }

}  // namespace

class SettingsSheetTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestRegistry> registry_;

    // Runs the program, opening the Exception tab first, then `script`.
    void RunOnExceptionPage(std::function<void(QWidget*)> script) {
        QVERIFY(!RunSettings([&script](QWidget* sheet) {
            ClickTab(sheet, 1);
            script(sheet);
        }));
    }

private slots:
    void init() {
        registry_ = std::make_unique<TestRegistry>();
        QVERIFY(registry_->ready());
    }

    void cleanup() { registry_.reset(); }

    void startUpShowsTheSheetOnTheConvertTab() {
        CWnd* main_window = nullptr;
        const BOOL result = RunSettings([&main_window](QWidget* sheet) {
            main_window = AfxGetMainWnd();
            QVERIFY(main_window != nullptr);
            QCOMPARE(main_window->GetSafeHwnd(), sheet);
            QCOMPARE(sheet->windowTitle(), QStringLiteral("Quillane"));
            auto* tabs = sheet->findChild<QTabWidget*>();
            QCOMPARE(tabs->count(), 2);
            QCOMPARE(tabs->tabText(0), QStringLiteral("Convert"));
            QCOMPARE(tabs->tabText(1), QStringLiteral("Exception"));
            QCOMPARE(tabs->currentIndex(), 0);
            QCOMPARE(tabs->tabPosition(), QTabWidget::South);
            QCOMPARE(sheet->findChild<QDialogButtonBox*>()->buttons().size(), 2);
            QVERIFY(PageWindow(sheet, IDD_CONVERT) != nullptr);
            QVERIFY(PageWindow(sheet, IDD_EXCEPTION) == nullptr);
            ClickCancel(sheet);
        });
        QCOMPARE(result, FALSE);
        QVERIFY(AfxGetMainWnd() == nullptr);
    }

    void anUnusableExemptListIsToldAtStart() {
        // Longer than the 4096 bytes the filter reads: it exempts nothing.
        QVERIFY(registry_->PutException(u".mp3" + std::u16string(2100, u'x')));
        // The box comes before the sheet: the sheet's script is armed only
        // once the box is up, so that each script meets its own window.
        QString text;
        WhenModal([&text](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box != nullptr);
            text = box->text();
            WhenModal([](QWidget* sheet) { ClickCancel(sheet); });
            Click(box->button(QMessageBox::Ok));
        });
        QVERIFY(!theApp.InitInstance());
        QVERIFY2(text.contains("longer than the 4096 bytes the filter reads"), qPrintable(text));
    }

    void thePagesAreDynamicallyCreatable_data() {
        QTest::addColumn<const CRuntimeClass*>("record");
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("dialog");
        QTest::newRow("Convert") << RUNTIME_CLASS(CConvertPage) << "CConvertPage" << IDD_CONVERT;
        QTest::newRow("Exception") << RUNTIME_CLASS(CExceptionPage) << "CExceptionPage" << IDD_EXCEPTION;
    }

    void thePagesAreDynamicallyCreatable() {
        QFETCH(const CRuntimeClass*, record);
        QFETCH(QString, name);
        QFETCH(uint, dialog);
        QCOMPARE(QString::fromLatin1(record->m_lpszClassName), name);
        QCOMPARE(record->m_pBaseClass, RUNTIME_CLASS(CPropertyPage));
        std::unique_ptr<CObject> page = record->CreateObject();
        QVERIFY(page != nullptr && page->IsKindOf(record));
        QCOMPARE(static_cast<CPropertyPage*>(page.get())->GetTemplateId(), dialog);
    }

    void theExceptionPageIsCreatedWhenItsTabIsFirstSelected() {
        QVERIFY(registry_->PutException(u".wmv"));
        QVERIFY(!RunSettings([this](QWidget* sheet) {
            QVERIFY(PageWindow(sheet, IDD_EXCEPTION) == nullptr);
            ClickTab(sheet, 1);
            QVERIFY(PageWindow(sheet, IDD_EXCEPTION) != nullptr);
            QCOMPARE(Entries(TypeList(sheet)), QStringList{"wmv"});
            QCOMPARE(FileTypeBox(sheet)->text(), QString());
            QCOMPARE(sheet->focusWidget(), FileTypeBox(sheet));
            // Loaded once: a later change of the value is not shown, and
            // what the user did stays when the tab is selected again.
            QVERIFY(registry_->PutException(u".other"));
            AddTypes(sheet, {"mp3"});
            ClickTab(sheet, 0);
            ClickTab(sheet, 1);
            QCOMPARE(Entries(TypeList(sheet)), (QStringList{"mp3", "wmv"}));
            ClickCancel(sheet);
        }));
    }

    void closingWithoutTheExceptionTabStoresNothing_data() {
        QTest::addColumn<bool>("ok");
        QTest::newRow("OK") << true;
        QTest::newRow("Cancel") << false;
    }

    void closingWithoutTheExceptionTabStoresNothing() {
        QFETCH(bool, ok);
        QVERIFY(!RunSettings([ok](QWidget* sheet) { ok ? ClickOk(sheet) : ClickCancel(sheet); }));
        QVERIFY(!registry_->ExceptionData().has_value());

        // A value stored some other way stays exactly as it was.
        QVERIFY(registry_->PutException(u"mp3"));
        QVERIFY(!RunSettings([ok](QWidget* sheet) { ok ? ClickOk(sheet) : ClickCancel(sheet); }));
        QCOMPARE(registry_->ExceptionData(), std::optional<std::u16string>(u"mp3"));
    }

    void cancelAfterEditingStoresNothing() {
        QVERIFY(registry_->PutException(u".wmv"));
        RunOnExceptionPage([](QWidget* sheet) {
            AddTypes(sheet, {"mp3"});
            ClickEntry(TypeList(sheet), 1);
            Click(Button(sheet, IDC_DELETE));
            QCOMPARE(Entries(TypeList(sheet)), QStringList{"mp3"});
            ClickCancel(sheet);
        });
        QCOMPARE(registry_->ExceptionData(), std::optional<std::u16string>(u".wmv"));
    }

    void okAfterEditingStoresTheList() {
        RunOnExceptionPage([](QWidget* sheet) {
            AddTypes(sheet, {"wmv", "mp3"});
            ClickTab(sheet, 0);  // OK stores a page that has a window, shown or not
            ClickOk(sheet);
        });
        QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".mp3.wmv"));
        QCOMPARE(registry_->ExceptionData()->size() * sizeof(WCHAR), size_t{quillane::kExceptionDataBytes});
    }

    void addFollowsItsRules_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("box");
        QTest::newRow("leading dot dropped") << "" << QStringList{".WMV"} << QStringList{"WMV"} << "";
        QTest::newRow("several leading dots") << "" << QStringList{"...ogg"} << QStringList{"ogg"} << "";
        QTest::newRow("case regarded") << ".WMV" << QStringList{"wmv"} << QStringList{"WMV", "wmv"} << "";
        QTest::newRow("duplicate refused") << ".wmv" << QStringList{"wmv"} << QStringList{"wmv"} << "wmv";
        QTest::newRow("duplicate with dot refused, box as typed")
            << ".wmv" << QStringList{".wmv"} << QStringList{"wmv"} << ".wmv";
        QTest::newRow("dots only refused") << "" << QStringList{"..."} << QStringList{} << "...";
        QTest::newRow("nothing refused") << "" << QStringList{""} << QStringList{} << "";
        QTest::newRow("sorted without regard to case")
            << "" << QStringList{"wmv", "Avi", "mp3"} << QStringList{"Avi", "mp3", "wmv"} << "";
        QTest::newRow("inner dot and spaces kept") << "" << QStringList{"tar.gz", " a b"}
                                                   << QStringList{" a b", "tar.gz"} << "";
    }

    void addFollowsItsRules() {
        QFETCH(QString, stored);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, listed);
        QFETCH(QString, box);
        QVERIFY(registry_->PutException(U16(stored)));
        RunOnExceptionPage([&](QWidget* sheet) {
            AddTypes(sheet, typed);
            QCOMPARE(Entries(TypeList(sheet)), listed);
            QCOMPARE(FileTypeBox(sheet)->text(), box);
            ClickCancel(sheet);
        });
        QCOMPARE(registry_->ExceptionData(), std::optional<std::u16string>(U16(stored)));
    }

    void addRefusesWhatTheValueCannotHold() {
        // Stored text of 2040 characters: room for one more item of 6.
        const std::u16string stored = u"." + std::u16string(2039, u'k');
        QVERIFY(registry_->PutException(stored));
        RunOnExceptionPage([](QWidget* sheet) {
            AddTypes(sheet, {"abcdefg"});
            QCOMPARE(TypeList(sheet)->count(), 1);
            QCOMPARE(FileTypeBox(sheet)->text(), QStringLiteral("abcdefg"));
            AddTypes(sheet, {"abcdef"});
            QCOMPARE(TypeList(sheet)->count(), 2);
            Click(Button(sheet, IDC_UPDATE));
            ClickCancel(sheet);
        });
        QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".abcdef" + stored));
    }

    void updateStoresTheListInItsOrder() {
        RunOnExceptionPage([this](QWidget* sheet) {
            AddTypes(sheet, {"wmv", "mp3"});
            Click(Button(sheet, IDC_UPDATE));  // shows no message: a box would hold the click here
            QCOMPARE(QApplication::activeModalWidget(), sheet);
            QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".mp3.wmv"));
            QCOMPARE(Entries(TypeList(sheet)), (QStringList{"mp3", "wmv"}));
            // Update again after more edits stores the whole list again.
            ClickEntry(TypeList(sheet), 1);
            Click(Button(sheet, IDC_DELETE));
            Click(Button(sheet, IDC_UPDATE));
            QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".mp3"));
            ClickCancel(sheet);
        });
        // Cancel undoes nothing that Update stored.
        QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".mp3"));
    }

    void updateWithAnEmptyListStoresTheEmptyText() {
        QVERIFY(registry_->PutException(u".wmv"));
        RunOnExceptionPage([](QWidget* sheet) {
            ClickEntry(TypeList(sheet), 0);
            Click(Button(sheet, IDC_DELETE));
            QCOMPARE(TypeList(sheet)->count(), 0);
            Click(Button(sheet, IDC_UPDATE));
            ClickCancel(sheet);
        });
        const std::optional<std::u16string> data = registry_->ExceptionData();
        QVERIFY(data.has_value());
        QCOMPARE(data->size() * sizeof(WCHAR), size_t{quillane::kExceptionDataBytes});
        QVERIFY(data->find_first_not_of(u'\0') == std::u16string::npos);
    }

    void anItemWithADotLoadsBackAsTwo() {
        RunOnExceptionPage([](QWidget* sheet) {
            AddTypes(sheet, {"tar.gz"});
            QCOMPARE(Entries(TypeList(sheet)), QStringList{"tar.gz"});
            ClickOk(sheet);
        });
        QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".tar.gz"));
        RunOnExceptionPage([](QWidget* sheet) {
            QCOMPARE(Entries(TypeList(sheet)), (QStringList{"gz", "tar"}));
            ClickCancel(sheet);
        });
    }

    void twoDotsLoadAsAnEmptyEntryThatCanBeDeleted() {
        QVERIFY(registry_->PutException(u"..mp3"));
        RunOnExceptionPage([](QWidget* sheet) {
            QCOMPARE(Entries(TypeList(sheet)), (QStringList{"", "mp3"}));
            ClickEntry(TypeList(sheet), 0);
            Click(Button(sheet, IDC_DELETE));
            QCOMPARE(Entries(TypeList(sheet)), QStringList{"mp3"});
            ClickOk(sheet);
        });
        QCOMPARE(registry_->ExceptionText(), std::optional<std::u16string>(u".mp3"));
    }

    void deleteWithNothingSelectedDoesNothing() {
        QVERIFY(registry_->PutException(u".mp3.wmv"));
        RunOnExceptionPage([](QWidget* sheet) {
            Click(Button(sheet, IDC_DELETE));
            QCOMPARE(TypeList(sheet)->count(), 2);
            // After a deletion nothing is selected, so a second tap deletes nothing.
            ClickEntry(TypeList(sheet), 0);
            Click(Button(sheet, IDC_DELETE));
            Click(Button(sheet, IDC_DELETE));
            QCOMPARE(Entries(TypeList(sheet)), QStringList{"wmv"});
            ClickCancel(sheet);
        });
    }

    void aMissingKeyShowsNoTypesAndStoresNothing() {
        QCOMPARE(platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, quillane::kFilterKeyPath), ERROR_SUCCESS);
        RunOnExceptionPage([](QWidget* sheet) {
            QCOMPARE(TypeList(sheet)->count(), 0);
            AddTypes(sheet, {"wmv"});
            Click(Button(sheet, IDC_UPDATE));
            ClickOk(sheet);
        });
        HKEY key = nullptr;
        QCOMPARE(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane::kFilterKeyPath, 0, 0, &key),
                 ERROR_FILE_NOT_FOUND);
    }

    void convertWithoutASelectedDeviceSaysSo() {
        MessageBoxSeen seen;
        QVERIFY(!RunSettings([&seen](QWidget* sheet) {
            auto* devices = PageControl<QComboBox>(sheet, IDD_CONVERT, IDC_DEVICE_LIST);
            QCOMPARE(devices->count(), 0);  // no card is mounted
            DismissNextMessageBox(seen);
            Click(PageControl<QPushButton>(sheet, IDD_CONVERT, IDC_CONVERT));
            QVERIFY(seen.shown);
            QCOMPARE(seen.owner, sheet);
            QCOMPARE(PageControl<QPlainTextEdit>(sheet, IDD_CONVERT, IDC_STATUS)->toPlainText(), QString());
            ClickCancel(sheet);
        }));
        QCOMPARE(seen.text, QStringLiteral("Please select Storage Device above."));
        QCOMPARE(seen.caption, QStringLiteral("Quillane"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.buttons, 1);
    }

    void pictureOfTheExceptionPage() {
        QVERIFY(registry_->PutException(u".avi.mp3.wmv"));
        RunOnExceptionPage([](QWidget* sheet) {
            TypeInto(FileTypeBox(sheet), QStringLiteral("ogg"));
            ClickEntry(TypeList(sheet), 1);
            SaveScreenshot(sheet, QStringLiteral("exception-page"));
            ClickCancel(sheet);
        });
    }
};

QTEST_MAIN(SettingsSheetTest)
#include "settings_sheet_test.moc"
