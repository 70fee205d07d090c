// Tests of the MFC-style classes on their own, with a small program's worth
// of templates and pages, under Qt's offscreen platform: the sheet's shape,
// the page lifecycle (creation on first display, data exchange on leaving and
// coming back, apply on OK, cancel), message maps, the message box, the
// layout of templates and the behaviour of the controls.
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "platform/afx/afx.h"
#include "platform/afx/dialog_layout.h"
#include "platform/afx/qt_text.h"
#include "platform/afx/tests/modal_script.h"

namespace {

constexpr UINT IDD_FIRST = 1;
constexpr UINT IDD_SECOND = 2;
constexpr UINT IDD_MISSING = 3;
constexpr int IDC_TEXT = 100;
constexpr int IDC_PRESS = 200;
constexpr int IDC_BASE = 201;
constexpr int IDC_CHOICES = 300;
constexpr int IDC_SORTED = 400;
constexpr int IDC_LINES = 500;

constexpr DialogControl kFirstControls[] = {
    {IDC_STATIC, DialogControlKind::Static, u"A long line of text that wraps inside its rectangle.", 7, 7, 100, 20,
     SS_LEFT},
    {IDC_TEXT, DialogControlKind::Edit, nullptr, 7, 30, 80, 12, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
    {IDC_PRESS, DialogControlKind::Button, u"Press", 7, 46, 40, 14, WS_TABSTOP},
    {IDC_BASE, DialogControlKind::Button, u"Base", 50, 46, 40, 14, WS_TABSTOP},
    {IDC_CHOICES, DialogControlKind::ComboBox, nullptr, 7, 64, 100, 58, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDC_SORTED, DialogControlKind::ListBox, nullptr, 7, 82, 60, 40,
     LBS_SORT | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT | WS_TABSTOP},
    {IDC_LINES, DialogControlKind::Edit, nullptr, 70, 82, 60, 30,
     ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
};

constexpr DialogControl kSecondControls[] = {
    {IDC_TEXT, DialogControlKind::Edit, nullptr, 7, 7, 80, 12, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
    {IDC_PRESS, DialogControlKind::Button, u"Press", 7, 24, 40, 14, WS_TABSTOP},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_FIRST, u"First", u"System", 8, 140, 130, kFirstControls},
    {IDD_SECOND, u"Second", u"System", 8, 100, 60, kSecondControls},
};

// A base page whose map binds one button, so that derived maps are seen to
// chain to it.
class BasePage : public CPropertyPage {
public:
    explicit BasePage(UINT nIDTemplate) : CPropertyPage(nIDTemplate) {}
    int base_clicks = 0;

protected:
    void OnBase() { ++base_clicks; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BasePage, CPropertyPage)
ON_BN_CLICKED(IDC_BASE, OnBase)
END_MESSAGE_MAP()

// Records what the sheet asks of it.
class RecordingPage : public BasePage {
    DECLARE_DYNCREATE(RecordingPage)
public:
    RecordingPage() : BasePage(IDD_FIRST) {}
    explicit RecordingPage(UINT nIDTemplate) : BasePage(nIDTemplate) {}

    CString m_strText;
    std::vector<std::string> events;
    std::function<void()> on_press;

    BOOL OnInitDialog() override {
        events.push_back("init");
        return BasePage::OnInitDialog();
    }
    void OnOK() override { events.push_back("ok"); }
    void OnCancel() override { events.push_back("cancel"); }

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Text(pDX, IDC_TEXT, m_strText); }
    void OnPress() {
        events.push_back("press");
        if (on_press) on_press();
    }
    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNCREATE(RecordingPage, BasePage)

BEGIN_MESSAGE_MAP(RecordingPage, BasePage)
ON_BN_CLICKED(IDC_PRESS, OnPress)
END_MESSAGE_MAP()

class TestApp : public CWinApp {
public:
    TestApp() : CWinApp(u"Tester") {}
};

TestApp theApp;

QTabWidget* Tabs(QWidget* sheet) { return sheet->findChild<QTabWidget*>(); }

void ClickTab(QWidget* sheet, int index) {
    QTabBar* bar = Tabs(sheet)->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

void ClickButton(QWidget* sheet, QDialogButtonBox::StandardButton which) {
    QTest::mouseClick(sheet->findChild<QDialogButtonBox*>()->button(which), Qt::LeftButton);
}

template <typename Widget>
Widget* Control(QWidget* sheet, UINT dialog_id, int control_id) {
    QWidget* page = sheet->findChild<QWidget*>(QStringLiteral("dialog%1").arg(dialog_id));
    return page == nullptr ? nullptr : page->findChild<Widget*>(QString::number(control_id));
}

// A sheet with a first and a second recording page, opened on page 0.
struct TwoPageSheet {
    RecordingPage first{IDD_FIRST};
    RecordingPage second{IDD_SECOND};
    CPropertySheet sheet{u"Sheet"};
    TwoPageSheet() {
        sheet.AddPage(&first);
        sheet.AddPage(&second);
    }
};

std::vector<std::string> Events(std::initializer_list<const char*> names) { return {names.begin(), names.end()}; }

}  // namespace

extern const std::span<const DialogTemplate> afxDialogTemplates = kTemplates;

class AfxTest : public QObject {
    Q_OBJECT

private slots:
    void sheetHasTheDefaultShape() {
        TwoPageSheet s;
        WhenModal([](QWidget* sheet) {
            QCOMPARE(sheet->windowTitle(), QStringLiteral("Sheet"));
            QTabWidget* tabs = Tabs(sheet);
            QCOMPARE(tabs->tabPosition(), QTabWidget::South);
            QCOMPARE(tabs->count(), 2);
            QCOMPARE(tabs->tabText(0), QStringLiteral("First"));
            QCOMPARE(tabs->tabText(1), QStringLiteral("Second"));
            QCOMPARE(tabs->currentIndex(), 0);
            QDialogButtonBox* buttons = sheet->findChild<QDialogButtonBox*>();
            QCOMPARE(buttons->buttons().size(), 2);
            QVERIFY(buttons->button(QDialogButtonBox::Ok) != nullptr);
            QVERIFY(buttons->button(QDialogButtonBox::Cancel) != nullptr);
            QVERIFY(buttons->button(QDialogButtonBox::Apply) == nullptr);
            QVERIFY(sheet->isModal());
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        QCOMPARE(s.sheet.DoModal(), IDCANCEL);
    }

    void sheetOpensOnTheSelectedPage() {
        RecordingPage first{IDD_FIRST};
        RecordingPage second{IDD_SECOND};
        CPropertySheet sheet(u"Sheet", nullptr, 1);
        sheet.AddPage(&first);
        sheet.AddPage(&second);
        WhenModal([](QWidget* dialog) {
            QCOMPARE(Tabs(dialog)->currentIndex(), 1);
            ClickButton(dialog, QDialogButtonBox::Cancel);
        });
        sheet.DoModal();
        QVERIFY(first.events.empty());
        QCOMPARE(second.events, Events({"init", "cancel"}));
    }

    void pageWindowIsCreatedWhenItsTabIsFirstShown() {
        TwoPageSheet s;
        WhenModal([&s](QWidget* sheet) {
            QCOMPARE(s.first.events, Events({"init"}));
            QVERIFY(s.first.GetSafeHwnd() != nullptr);
            QVERIFY(s.second.events.empty());
            QVERIFY(s.second.GetSafeHwnd() == nullptr);
            QVERIFY(Control<QLineEdit>(sheet, IDD_SECOND, IDC_TEXT) == nullptr);
            ClickTab(sheet, 1);
            QCOMPARE(s.second.events, Events({"init"}));
            QVERIFY(Control<QLineEdit>(sheet, IDD_SECOND, IDC_TEXT) != nullptr);
            ClickTab(sheet, 0);
            ClickTab(sheet, 1);
            QCOMPARE(s.first.events, Events({"init"}));
            QCOMPARE(s.second.events, Events({"init"}));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
        QVERIFY(s.first.GetSafeHwnd() == nullptr);  // gone with the sheet
    }

    void initialisationCopiesTheMembersIntoTheControls() {
        TwoPageSheet s;
        s.first.m_strText = u"preset";
        WhenModal([](QWidget* sheet) {
            QCOMPARE(Control<QLineEdit>(sheet, IDD_FIRST, IDC_TEXT)->text(), QStringLiteral("preset"));
            // The first tab-stop control has the focus.
            QCOMPARE(sheet->focusWidget(), Control<QLineEdit>(sheet, IDD_FIRST, IDC_TEXT));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void leavingAPageSavesItsControlsAndComingBackRestoresThem() {
        TwoPageSheet s;
        WhenModal([&s](QWidget* sheet) {
            QLineEdit* edit = Control<QLineEdit>(sheet, IDD_FIRST, IDC_TEXT);
            QTest::keyClicks(edit, "typed");
            QVERIFY(s.first.m_strText.IsEmpty());
            ClickTab(sheet, 1);
            QCOMPARE(s.first.m_strText, CString(u"typed"));
            s.first.m_strText = u"changed meanwhile";
            ClickTab(sheet, 0);
            QCOMPARE(edit->text(), QStringLiteral("changed meanwhile"));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void okAppliesOnlyThePagesThatHaveAWindow() {
        TwoPageSheet s;
        WhenModal([](QWidget* sheet) { ClickButton(sheet, QDialogButtonBox::Ok); });
        QCOMPARE(s.sheet.DoModal(), IDOK);
        QCOMPARE(s.first.events, Events({"init", "ok"}));
        QVERIFY(s.second.events.empty());
    }

    void okAppliesEveryShownPageAndSavesTheActiveOne() {
        TwoPageSheet s;
        WhenModal([](QWidget* sheet) {
            ClickTab(sheet, 1);
            QTest::keyClicks(Control<QLineEdit>(sheet, IDD_SECOND, IDC_TEXT), "last words");
            ClickButton(sheet, QDialogButtonBox::Ok);
        });
        QCOMPARE(s.sheet.DoModal(), IDOK);
        QCOMPARE(s.first.events, Events({"init", "ok"}));
        QCOMPARE(s.second.events, Events({"init", "ok"}));
        QCOMPARE(s.second.m_strText, CString(u"last words"));
    }

    void everyOtherWayOfClosingCancels_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancel button") << 0;
        QTest::newRow("Escape key") << 1;
        QTest::newRow("window closed") << 2;
    }

    void everyOtherWayOfClosingCancels() {
        QFETCH(int, how);
        TwoPageSheet s;
        WhenModal([how](QWidget* sheet) {
            ClickTab(sheet, 1);
            if (how == 0) ClickButton(sheet, QDialogButtonBox::Cancel);
            if (how == 1) QTest::keyClick(sheet, Qt::Key_Escape);
            if (how == 2) sheet->close();
        });
        QCOMPARE(s.sheet.DoModal(), IDCANCEL);
        QCOMPARE(s.first.events, Events({"init", "cancel"}));
        QCOMPARE(s.second.events, Events({"init", "cancel"}));
    }

    void returnInAnEditClosesTheSheetWithOk() {
        TwoPageSheet s;
        WhenModal([](QWidget* sheet) {
            QTest::keyClick(Control<QLineEdit>(sheet, IDD_FIRST, IDC_TEXT), Qt::Key_Return);
        });
        QCOMPARE(s.sheet.DoModal(), IDOK);
        QCOMPARE(s.first.events, Events({"init", "ok"}));
    }

    void aSheetThatCannotBeShownReturnsAtOnce() {
        RecordingPage missing{IDD_MISSING};
        CPropertySheet sheet(u"Sheet");
        sheet.AddPage(&missing);
        QCOMPARE(sheet.DoModal(), -1);
        CPropertySheet empty(u"Empty");
        QCOMPARE(empty.DoModal(), -1);
        QVERIFY(missing.events.empty());
    }

    void messageMapsBindClicksAndChainToTheBase() {
        TwoPageSheet s;
        WhenModal([&s](QWidget* sheet) {
            QTest::mouseClick(Control<QPushButton>(sheet, IDD_FIRST, IDC_PRESS), Qt::LeftButton);
            QTest::mouseClick(Control<QPushButton>(sheet, IDD_FIRST, IDC_BASE), Qt::LeftButton);
            QCOMPARE(s.first.events, Events({"init", "press"}));
            QCOMPARE(s.first.base_clicks, 1);
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
        QVERIFY(!s.second.OnCmdMsg(999, BN_CLICKED));
    }

    void messageBoxIsOwnedByTheMainWindowAndReturnsWhenDismissed() {
        TwoPageSheet s;
        theApp.m_pMainWnd = &s.sheet;
        int result = 0;
        s.first.on_press = [&result] {
            WhenModal([](QWidget* box) {
                auto* message = qobject_cast<QMessageBox*>(box);
                QVERIFY(message != nullptr);
                QCOMPARE(message->windowTitle(), QStringLiteral("Tester"));
                QCOMPARE(message->text(), QStringLiteral("Something to say."));
                QCOMPARE(message->icon(), QMessageBox::Warning);
                QCOMPARE(message->buttons().size(), 1);
                QVERIFY(message->button(QMessageBox::Ok) != nullptr);
                QCOMPARE(message->parentWidget(), AfxGetMainWnd()->GetSafeHwnd());
                QTest::mouseClick(message->button(QMessageBox::Ok), Qt::LeftButton);
            });
            result = AfxMessageBox(u"Something to say.");
        };
        WhenModal([](QWidget* sheet) {
            QTest::mouseClick(Control<QPushButton>(sheet, IDD_FIRST, IDC_PRESS), Qt::LeftButton);
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
        QCOMPARE(result, IDOK);
        QCOMPARE(s.first.events, Events({"init", "press", "cancel"}));
    }

    void mainWindowIsForgottenWhenItGoes() {
        {
            CPropertySheet sheet(u"Sheet");
            theApp.m_pMainWnd = &sheet;
        }
        QVERIFY(AfxGetMainWnd() == nullptr);
    }

    void controlsSitAtTheirTemplateRectangles() {
        TwoPageSheet s;
        WhenModal([](QWidget* sheet) {
            const DialogTemplate& dialog = kTemplates[0];
            const DialogBaseUnits units = DialogBaseUnitsOf(DialogFont(dialog));
            QVERIFY(units.cx > 0 && units.cy > 0);
            QWidget* page = sheet->findChild<QWidget*>(QStringLiteral("dialog%1").arg(IDD_FIRST));
            QCOMPARE(page->size(), MapDialogRect(units, 0, 0, dialog.cx, dialog.cy).size());
            QCOMPARE(page->font().pointSize(), 8);
            for (const DialogControl& control : dialog.controls) {
                if (control.id == IDC_STATIC) continue;
                QWidget* widget = page->findChild<QWidget*>(QString::number(control.id));
                QVERIFY(widget != nullptr);
                const QRect expected = MapDialogRect(units, control.x, control.y, control.cx, control.cy);
                QCOMPARE(widget->pos(), expected.topLeft());
                QCOMPARE(widget->width(), expected.width());
                if (control.kind == DialogControlKind::ComboBox) {
                    // The box takes its natural height; the rest is for the list.
                    QCOMPARE(widget->height(), widget->sizeHint().height());
                    QVERIFY(qobject_cast<QComboBox*>(widget)->maxVisibleItems() >= 1);
                } else {
                    QCOMPARE(widget->height(), expected.height());
                }
            }
            QLabel* label = page->findChild<QLabel*>();
            QVERIFY(label->wordWrap());
            QCOMPARE(label->geometry(), MapDialogRect(units, 7, 7, 100, 20));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void dialogUnitsFollowTheFont() {
        QFont small = QApplication::font();
        small.setPointSize(8);
        QFont large = small;
        large.setPointSize(16);
        const DialogBaseUnits s = DialogBaseUnitsOf(small);
        const DialogBaseUnits l = DialogBaseUnitsOf(large);
        QVERIFY(l.cx > s.cx);
        QVERIFY(l.cy > s.cy);
        // Four horizontal units are one average character, eight vertical ones its height.
        QCOMPARE(MapDialogRect(s, 4, 8, 40, 80), QRect(s.cx, s.cy, 10 * s.cx, 10 * s.cy));
    }

    void sortedListBoxInsertsWithoutRegardToCase_data() {
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("in order") << QStringList{"a", "b", "c"} << QStringList{"a", "b", "c"};
        QTest::newRow("reversed") << QStringList{"wmv", "mp3"} << QStringList{"mp3", "wmv"};
        QTest::newRow("case ignored") << QStringList{"b", "A", "c", "B"} << QStringList{"A", "b", "B", "c"};
        QTest::newRow("equal but case keep their order") << QStringList{"wmv", "WMV", "Wmv"}
                                                         << QStringList{"wmv", "WMV", "Wmv"};
        QTest::newRow("empty first") << QStringList{"mp3", ""} << QStringList{"", "mp3"};
        QTest::newRow("prefix first") << QStringList{"tar.gz", "tar", "TA"} << QStringList{"TA", "tar", "tar.gz"};
    }

    void sortedListBoxInsertsWithoutRegardToCase() {
        QFETCH(QStringList, added);
        QFETCH(QStringList, shown);
        TwoPageSheet s;
        WhenModal([&](QWidget* sheet) {
            auto* list = static_cast<CListBox*>(s.first.GetDlgItem(IDC_SORTED));
            QVERIFY(list->IsKindOf(RUNTIME_CLASS(CListBox)));
            for (const QString& text : added) list->AddString(WideFromQString(text).c_str());
            QCOMPARE(list->GetCount(), shown.size());
            QListWidget* widget = Control<QListWidget>(sheet, IDD_FIRST, IDC_SORTED);
            for (int i = 0; i < shown.size(); ++i) {
                CString text;
                QCOMPARE(list->GetText(i, text), static_cast<int>(shown[i].size()));
                QCOMPARE(QStringFromWide(text.str()), shown[i]);
                QCOMPARE(widget->item(i)->text(), shown[i]);
            }
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void listBoxSelectionAndDeletion() {
        TwoPageSheet s;
        WhenModal([&](QWidget* sheet) {
            auto* list = static_cast<CListBox*>(s.first.GetDlgItem(IDC_SORTED));
            QListWidget* widget = Control<QListWidget>(sheet, IDD_FIRST, IDC_SORTED);
            for (LPCWSTR text : {u"c", u"a", u"b"}) list->AddString(text);
            QCOMPARE(list->GetCurSel(), LB_ERR);
            QTest::mouseClick(widget->viewport(), Qt::LeftButton, {}, widget->visualItemRect(widget->item(1)).center());
            QCOMPARE(list->GetCurSel(), 1);
            QCOMPARE(list->DeleteString(1), 2);
            // Nothing is selected after a deletion.
            QCOMPARE(list->GetCurSel(), LB_ERR);
            CString text;
            list->GetText(1, text);
            QCOMPARE(text, CString(u"c"));
            QCOMPARE(list->DeleteString(5), LB_ERR);
            QCOMPARE(list->GetText(5, text), LB_ERR);
            QCOMPARE(text, CString(u"c"));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void comboBoxKeepsOrderAndSelectsNothingByItself() {
        TwoPageSheet s;
        WhenModal([&](QWidget* sheet) {
            auto* combo = static_cast<CComboBox*>(s.first.GetDlgItem(IDC_CHOICES));
            QVERIFY(combo->IsKindOf(RUNTIME_CLASS(CComboBox)));
            for (LPCWSTR text : {u"Zeta", u"alpha", u"Mid"}) combo->AddString(text);
            QCOMPARE(combo->GetCount(), 3);
            QCOMPARE(combo->GetCurSel(), CB_ERR);
            QComboBox* widget = Control<QComboBox>(sheet, IDD_FIRST, IDC_CHOICES);
            QVERIFY(!widget->isEditable());
            QCOMPARE(widget->itemText(0), QStringLiteral("Zeta"));
            QCOMPARE(widget->itemText(2), QStringLiteral("Mid"));
            widget->setFocus();
            QTest::keyClick(widget, Qt::Key_Down);
            QTest::keyClick(widget, Qt::Key_Down);
            QCOMPARE(combo->GetCurSel(), widget->currentIndex());
            QVERIFY(combo->GetCurSel() >= 0);
            CString text;
            combo->GetLBText(1, text);
            QCOMPARE(text, CString(u"alpha"));
            QCOMPARE(combo->GetLBText(3, text), CB_ERR);
            combo->ResetContent();
            QCOMPARE(combo->GetCount(), 0);
            QCOMPARE(combo->GetCurSel(), CB_ERR);
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void multiLineEditKeepsPlatformLineBreaks() {
        TwoPageSheet s;
        WhenModal([&](QWidget* sheet) {
            CWnd* lines = s.first.GetDlgItem(IDC_LINES);
            QVERIFY(lines->IsKindOf(RUNTIME_CLASS(CEdit)));
            lines->SetWindowText(u"one\r\ntwo\r\nthree");
            auto* widget = Control<QPlainTextEdit>(sheet, IDD_FIRST, IDC_LINES);
            QCOMPARE(widget->document()->blockCount(), 3);
            QVERIFY(widget->isReadOnly());
            QCOMPARE(widget->lineWrapMode(), QPlainTextEdit::NoWrap);
            QCOMPARE(widget->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            CString text;
            lines->GetWindowText(text);
            QCOMPARE(text, CString(u"one\r\ntwo\r\nthree"));
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void singleLineEditHasNoLengthLimit() {
        TwoPageSheet s;
        WhenModal([&](QWidget* sheet) {
            const std::u16string long_text(40000, u'x');
            s.first.GetDlgItem(IDC_TEXT)->SetWindowText(long_text.c_str());
            CString text;
            s.first.GetDlgItem(IDC_TEXT)->GetWindowText(text);
            QCOMPARE(text.GetLength(), 40000);
            ClickButton(sheet, QDialogButtonBox::Cancel);
        });
        s.sheet.DoModal();
    }

    void runtimeClassRecordsNameBaseAndCreation() {
        const CRuntimeClass* record = RUNTIME_CLASS(RecordingPage);
        QCOMPARE(record->m_lpszClassName, "RecordingPage");
        QVERIFY(record->IsDerivedFrom(RUNTIME_CLASS(CPropertyPage)));
        QVERIFY(record->IsDerivedFrom(RUNTIME_CLASS(CWnd)));
        QVERIFY(!record->IsDerivedFrom(RUNTIME_CLASS(CWinApp)));
        std::unique_ptr<CObject> made = record->CreateObject();
        QVERIFY(made != nullptr);
        QVERIFY(made->IsKindOf(RUNTIME_CLASS(RecordingPage)));
        QCOMPARE(static_cast<RecordingPage*>(made.get())->GetTemplateId(), IDD_FIRST);
        QVERIFY(RUNTIME_CLASS(CPropertyPage)->CreateObject() == nullptr);
    }

    void textEditing_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("result");
        QTest::newRow("first") << "..wmv" << 0 << 1 << ".wmv";
        QTest::newRow("middle") << "abcdef" << 2 << 2 << "abef";
        QTest::newRow("past the end") << "abc" << 1 << 10 << "a";
        QTest::newRow("outside") << "abc" << 3 << 1 << "abc";
        QTest::newRow("negative") << "abc" << -1 << 1 << "abc";
    }

    void textEditing() {
        QFETCH(QString, start);
        QFETCH(int, index);
        QFETCH(int, count);
        QFETCH(QString, result);
        CString text(WideFromQString(start));
        QCOMPARE(text.Delete(index, count), static_cast<int>(result.size()));
        QCOMPARE(QStringFromWide(text.str()), result);
    }
};

QTEST_MAIN(AfxTest)
#include "afx_test.moc"
