// Laying out dialog templates (see dialog_layout.h).
#include "platform/afx/dialog_layout.h"

#include <limits>
#include <memory>

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include "platform/afx/controls.h"
#include "platform/afx/qt_text.h"
#include "platform/afx/styles.h"

namespace {

// a * b / c rounded to the nearest integer, as the platform scales.
int MulDiv(int a, int b, int c) { return (a * b + c / 2) / c; }

bool Has(DWORD style, DWORD bit) { return (style & bit) == bit; }

Qt::ScrollBarPolicy ScrollBar(DWORD style, DWORD bit) {
    return Has(style, bit) ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
}

QWidget* MakeStatic(const DialogControl& control, QWidget* window) {
    auto* label = new QLabel(QStringFromWide(control.text), window);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap((control.style & 0x1Fu) != SS_LEFTNOWORDWRAP);
    return label;
}

QWidget* MakeEdit(const DialogControl& control, QWidget* window) {
    if (Has(control.style, ES_MULTILINE)) {
        auto* box = new QPlainTextEdit(window);
        box->setReadOnly(Has(control.style, ES_READONLY));
        box->setLineWrapMode(Has(control.style, ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                                : QPlainTextEdit::WidgetWidth);
        box->setVerticalScrollBarPolicy(ScrollBar(control.style, WS_VSCROLL));
        box->setHorizontalScrollBarPolicy(ScrollBar(control.style, WS_HSCROLL));
        if (!Has(control.style, WS_BORDER)) box->setFrameShape(QFrame::NoFrame);
        // In a dialog the Tab key moves between controls.
        box->setTabChangesFocus(true);
        box->setPlainText(QStringFromWide(control.text));
        return box;
    }
    // A single line always scrolls sideways in Qt, as ES_AUTOHSCROLL asks.
    auto* line = new QLineEdit(QStringFromWide(control.text), window);
    line->setReadOnly(Has(control.style, ES_READONLY));
    line->setFrame(Has(control.style, WS_BORDER));
    line->setMaxLength(std::numeric_limits<int>::max());  // the platform's edit has no limit of its own
    return line;
}

QWidget* MakeButton(CWnd& dialog, const DialogControl& control, QWidget* window) {
    auto* button = new QPushButton(QStringFromWide(control.text), window);
    // Return in a page belongs to the sheet's default button, not to the
    // page's own buttons.
    button->setAutoDefault(false);
    const int id = control.id;
    QObject::connect(button, &QPushButton::clicked, button, [&dialog, id] { dialog.OnCmdMsg(id, BN_CLICKED); });
    return button;
}

QWidget* MakeComboBox(QWidget* window) {
    auto* box = new QComboBox(window);
    box->setEditable(false);  // CBS_DROPDOWNLIST: choosing only
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

QWidget* MakeListBox(const DialogControl& control, QWidget* window) {
    auto* list = new QListWidget(window);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSortingEnabled(false);  // LBS_SORT is kept by CListBox, without regard to case
    list->setVerticalScrollBarPolicy(ScrollBar(control.style, WS_VSCROLL));
    list->setHorizontalScrollBarPolicy(ScrollBar(control.style, WS_HSCROLL));
    if (!Has(control.style, WS_BORDER)) list->setFrameShape(QFrame::NoFrame);
    return list;
}

std::unique_ptr<CWnd> MakeWrapper(DialogControlKind kind) {
    switch (kind) {
        case DialogControlKind::Edit: return std::make_unique<CEdit>();
        case DialogControlKind::ComboBox: return std::make_unique<CComboBox>();
        case DialogControlKind::ListBox: return std::make_unique<CListBox>();
        case DialogControlKind::Static:
        case DialogControlKind::Button: break;
    }
    return std::make_unique<CWnd>();
}

}  // namespace

QFont DialogFont(const DialogTemplate& dialog) {
    QFont font = QApplication::font();
    const QString face = QStringFromWide(dialog.font_face);
    if (!face.isEmpty() && face != QStringLiteral("System")) font.setFamilies({face});
    font.setPointSize(dialog.point_size);
    return font;
}

DialogBaseUnits DialogBaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(alphabet / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(DialogBaseUnits units, int x, int y, int cx, int cy) {
    return QRect(MulDiv(x, units.cx, 4), MulDiv(y, units.cy, 8), MulDiv(cx, units.cx, 4), MulDiv(cy, units.cy, 8));
}

QSize DialogPixelSize(const DialogTemplate& dialog) {
    return MapDialogRect(DialogBaseUnitsOf(DialogFont(dialog)), 0, 0, dialog.cx, dialog.cy).size();
}

QWidget* CreateDialogWindow(CWnd& dialog, const DialogTemplate& dialog_template, QWidget* parent) {
    const QFont font = DialogFont(dialog_template);
    const DialogBaseUnits units = DialogBaseUnitsOf(font);

    auto* window = new QWidget(parent);
    window->setObjectName(QStringLiteral("dialog%1").arg(dialog_template.id));
    window->setFont(font);
    window->setFixedSize(DialogPixelSize(dialog_template));
    dialog.Attach(window, 0, 0);

    for (const DialogControl& control : dialog_template.controls) {
        QWidget* widget = nullptr;
        switch (control.kind) {
            case DialogControlKind::Static: widget = MakeStatic(control, window); break;
            case DialogControlKind::Edit: widget = MakeEdit(control, window); break;
            case DialogControlKind::Button: widget = MakeButton(dialog, control, window); break;
            case DialogControlKind::ComboBox: widget = MakeComboBox(window); break;
            case DialogControlKind::ListBox: widget = MakeListBox(control, window); break;
        }
        QRect rect = MapDialogRect(units, control.x, control.y, control.cx, control.cy);
        if (auto* box = qobject_cast<QComboBox*>(widget)) {
            // The template's height includes the drop-down part: the box
            // itself takes its natural height, the rest is for the list.
            const int natural = box->sizeHint().height();
            const int row = QFontMetrics(font).height() + 2;
            box->setMaxVisibleItems(qMax(1, (rect.height() - natural) / row));
            rect.setHeight(natural);
        }
        widget->setGeometry(rect);
        if (control.kind != DialogControlKind::Static) {
            widget->setFocusPolicy(Has(control.style, WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
        }
        if (control.id != IDC_STATIC) widget->setObjectName(QString::number(control.id));

        std::unique_ptr<CWnd> wrapper = MakeWrapper(control.kind);
        wrapper->Attach(widget, control.id, control.style);
        dialog.AddDlgItem(std::move(wrapper));
    }
    return window;
}
