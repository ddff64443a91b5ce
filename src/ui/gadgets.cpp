#include "ui/drive_selector.h"
#include "ui/toolkit.h"
#include "ui/toolkit_tables.h"
#include "ui/toolkit_window.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace mirl {
namespace {

// Lines in the program's texts end in CR LF; Qt's widgets hold bare LF.
QString ForDisplay(const std::string& text) {
    return QString::fromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string FromDisplay(const QString& text) {
    QString withBreaks = text;
    return withBreaks.replace(QStringLiteral("\n"), QStringLiteral("\r\n")).toStdString();
}

// Creates the gadget's widget in the current window's client area and records it.
template <typename Widget, typename Make>
intptr_t CreateGadget(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, GadgetKind kind, Make make) {
    ToolkitWindow* window = CurrentWindow();
    if (window == nullptr || !ClearGadget(number)) {
        return 0;
    }
    Widget* widget = make(window);
    widget->setGeometry(x, y, width, height);
    widget->show();
    GadgetRecord record;
    record.widget = widget;
    record.kind = kind;
    record.window = window->Number();
    StoreGadget(number, record);
    return HandleOf(widget);
}

// A multi-line field neither wraps nor scrolls, so a line wider than the field (a long mount
// point) is cut at its right edge; the whole text is then a tooltip away.
// The lines a field shows: a line break at the end of the text opens no visible line.
QStringList VisibleLines(const QPlainTextEdit& field) {
    QStringList lines = field.toPlainText().split('\n');
    if (lines.size() > 1 && lines.back().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// The fields have fixed sizes: a text with more lines than the field holds at the window's font
// (the end of a run that names what it could not reach) gets a smaller one, down to MinPixels.
void FitLinesToHeight(QPlainTextEdit& field) {
    constexpr int MinPixels = 9;
    QFont font = field.parentWidget() != nullptr ? field.parentWidget()->font() : field.font();
    const int lineCount = static_cast<int>(VisibleLines(field).size());
    const int room = field.contentsRect().height() - 2 * static_cast<int>(field.document()->documentMargin());
    while (font.pixelSize() > MinPixels && lineCount * QFontMetrics(font).lineSpacing() > room) {
        font.setPixelSize(font.pixelSize() - 1);
    }
    if (font != field.font()) {
        field.setFont(font);
    }
}

constexpr const char* HintProperty = "mirlHint";

void ShowWholeTextWhenCut(QPlainTextEdit& field) {
    FitLinesToHeight(field);
    const QFontMetrics metrics(field.font());
    const int room = field.viewport()->width() - 2 * static_cast<int>(field.document()->documentMargin());
    bool cut = false;
    for (const QString& line : field.toPlainText().split('\n')) {
        cut = cut || metrics.horizontalAdvance(line) > room;
    }
    // A hint the program gave the field comes after the whole text.
    const QString hint = field.property(HintProperty).toString();
    const QString whole = cut ? field.toPlainText() : QString();
    field.setToolTip(whole.isEmpty() || hint.isEmpty() ? whole + hint : whole + "\n\n" + hint);
}

QPlainTextEdit* EditorOf(int32_t number) {
    const GadgetRecord* gadget = FindGadget(number);
    return gadget != nullptr && gadget->kind == GadgetKind::Editor ? static_cast<QPlainTextEdit*>(gadget->widget.data())
                                                                   : nullptr;
}

} // namespace

intptr_t GadgetTextField(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, const std::string& text,
                         int32_t style) {
    const bool readOnly = (style & GS_READ_ONLY) != 0;
    const bool multiLine = (style & GS_MULTI_LINE) != 0;
    const intptr_t handle =
        CreateGadget<QWidget>(number, x, y, width, height, GadgetKind::TextField, [&](ToolkitWindow* window) {
            QWidget* field = nullptr;
            // A field only to be read is no stop of the Tab key: it would take the focus without
            // showing it.
            const Qt::FocusPolicy focus = readOnly ? Qt::NoFocus : Qt::StrongFocus;
            if (multiLine) {
                // A multi-line field shows its lines as they are: no wrapping, no scroll bars.
                auto* edit = new QPlainTextEdit(window->Client());
                edit->setLineWrapMode(QPlainTextEdit::NoWrap);
                edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                edit->setReadOnly(readOnly);
                edit->document()->setDocumentMargin(2);
                edit->setFocusPolicy(focus);
                field = edit;
            } else {
                auto* edit = new QLineEdit(window->Client());
                edit->setReadOnly(readOnly);
                edit->setFocusPolicy(focus);
                field = edit;
            }
            return field;
        });
    if (GadgetRecord* record = FindGadget(number); record != nullptr && handle != 0) {
        record->readOnly = readOnly;
        record->multiLine = multiLine;
        GadgetSetText(number, text);
    }
    return handle;
}

intptr_t GadgetButton(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, const std::string& caption,
                      int32_t /*style*/) {
    return CreateGadget<QPushButton>(number, x, y, width, height, GadgetKind::Button, [&](ToolkitWindow* window) {
        auto* button = new QPushButton(QString::fromUtf8(caption), window->Client());
        button->setAutoDefault(false);
        const int32_t windowNumber = window->Number();
        QObject::connect(button, &QPushButton::clicked,
                         [windowNumber, number] { QueueEvent(EV_GADGET, windowNumber, number, 0); });
        return button;
    });
}

intptr_t GadgetEditor(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, int32_t style) {
    return CreateGadget<QPlainTextEdit>(number, x, y, width, height, GadgetKind::Editor, [&](ToolkitWindow* window) {
        auto* editor = new QPlainTextEdit(window->Client());
        editor->setLineWrapMode(QPlainTextEdit::NoWrap);
        editor->setReadOnly((style & GS_READ_ONLY) != 0);
        return editor;
    });
}

intptr_t GadgetDriveSelector(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             const std::string& initialPath, int32_t /*flags*/) {
    return CreateGadget<DriveSelector>(
        number, x, y, width, height, GadgetKind::DriveSelector, [&](ToolkitWindow* window) {
            auto* selector = new DriveSelector(number, window->Number(), window->Client());
            selector->SelectPath(initialPath);
            return selector;
        });
}

std::string GadgetGetText(int32_t number) {
    const GadgetRecord* gadget = FindGadget(number);
    if (gadget == nullptr) {
        return {};
    }
    QWidget* widget = gadget->widget.data();
    switch (gadget->kind) {
    case GadgetKind::TextField:
        if (gadget->multiLine) {
            return FromDisplay(static_cast<QPlainTextEdit*>(widget)->toPlainText());
        }
        return static_cast<QLineEdit*>(widget)->text().toStdString();
    case GadgetKind::Button:
        return static_cast<QPushButton*>(widget)->text().toStdString();
    case GadgetKind::Editor:
        return FromDisplay(static_cast<QPlainTextEdit*>(widget)->toPlainText());
    case GadgetKind::DriveSelector:
        return static_cast<DriveSelector*>(widget)->CurrentPath();
    }
    return {};
}

uint64_t GadgetVolumeDevice(int32_t number) {
    const GadgetRecord* gadget = FindGadget(number);
    if (gadget == nullptr || gadget->kind != GadgetKind::DriveSelector) {
        return 0;
    }
    return static_cast<DriveSelector*>(gadget->widget.data())->CurrentDevice();
}

void GadgetSetText(int32_t number, const std::string& text) {
    const GadgetRecord* gadget = FindGadget(number);
    if (gadget == nullptr) {
        return;
    }
    QWidget* widget = gadget->widget.data();
    switch (gadget->kind) {
    case GadgetKind::TextField:
        if (gadget->multiLine) {
            auto* field = static_cast<QPlainTextEdit*>(widget);
            field->setPlainText(ForDisplay(text));
            ShowWholeTextWhenCut(*field);
        } else {
            static_cast<QLineEdit*>(widget)->setText(QString::fromUtf8(text));
        }
        break;
    case GadgetKind::Button:
        static_cast<QPushButton*>(widget)->setText(QString::fromUtf8(text));
        break;
    case GadgetKind::Editor:
        static_cast<QPlainTextEdit*>(widget)->setPlainText(ForDisplay(text));
        break;
    case GadgetKind::DriveSelector:
        static_cast<DriveSelector*>(widget)->SelectPath(text);
        break;
    }
}

void GadgetDisable(int32_t number, int32_t state) {
    if (const GadgetRecord* gadget = FindGadget(number)) {
        gadget->widget->setEnabled(state == 0);
    }
}

void GadgetResize(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height) {
    const GadgetRecord* gadget = FindGadget(number);
    if (gadget == nullptr) {
        return;
    }
    const QRect old = gadget->widget->geometry();
    gadget->widget->setGeometry(x != UI_IGNORE ? x : old.x(), y != UI_IGNORE ? y : old.y(),
                                width != UI_IGNORE ? width : old.width(), height != UI_IGNORE ? height : old.height());
}

void GadgetSetToolTip(int32_t number, const std::string& text) {
    const GadgetRecord* gadget = FindGadget(number);
    if (gadget == nullptr || gadget->widget == nullptr) {
        return;
    }
    gadget->widget->setProperty(HintProperty, QString::fromUtf8(text));
    if (auto* field = qobject_cast<QPlainTextEdit*>(gadget->widget.data()); field != nullptr) {
        ShowWholeTextWhenCut(*field);
    } else {
        gadget->widget->setToolTip(QString::fromUtf8(text));
    }
}

void GadgetSetAccessibleText(int32_t number, const std::string& name, const std::string& description) {
    if (const GadgetRecord* gadget = FindGadget(number); gadget != nullptr && gadget->widget != nullptr) {
        gadget->widget->setAccessibleName(QString::fromUtf8(name));
        gadget->widget->setAccessibleDescription(QString::fromUtf8(description));
    }
}

intptr_t GadgetHandle(int32_t number) {
    const GadgetRecord* gadget = FindGadget(number);
    return gadget != nullptr ? HandleOf(gadget->widget.data()) : 0;
}

void EditorSetReadOnly(int32_t number, bool readOnly) {
    if (QPlainTextEdit* editor = EditorOf(number)) {
        editor->setReadOnly(readOnly);
    }
}

void EditorWrapAtWidth(int32_t number) {
    if (QPlainTextEdit* editor = EditorOf(number)) {
        editor->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    }
}

void EditorRemoveLengthLimit(int32_t number) {
    // A QPlainTextEdit has no length limit; the operation exists so that the program states the
    // setting it relies on.
    if (QPlainTextEdit* editor = EditorOf(number)) {
        editor->document()->setMaximumBlockCount(0);
    }
}

} // namespace mirl
