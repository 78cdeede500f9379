// SPDX-License-Identifier: GPL-3.0-or-later
// Controls and their values: the widgets that know when the operator commits,
// indicator lamps, GetCtrlVal/SetCtrlVal, and painting a change at once.
//
// The numeric, button and text-input widgets are built as small subclasses
// that turn the operator's committing actions into one commit each (Return,
// leaving the field after an edit, a step of the arrows or the wheel, a
// click), which plain Qt signals cannot tell apart from typing. Every commit
// changes something real (a generator's live output), so the wheel turns a
// field or a ring only while it has the keyboard focus. A field's Alt+letter
// selects its whole text, also when it has the focus already, so that typing
// replaces the value; and a decimal comma typed into a number becomes the
// point the field shows. Each control
// holds the value type its panel file declares; an access with a variable of
// another type or width is refused and writes nothing.
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

#include "panel_file.h"
#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

// ---- Widgets that know when the operator commits ------------------------------

struct CommitSource {
    std::function<void()> onCommit;
    void commit() {
        if (onCommit) onCommit();
    }
    virtual ~CommitSource() = default;
};

// Leaving a field commits its edit only when the operator moves on within the
// panel; switching to another window keeps the edit pending.
bool leaves_field(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::MouseFocusReason || reason == Qt::ShortcutFocusReason;
}

bool is_enter_key(const QKeyEvent *e) {
    return e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
}

template <class Base>
class CommitSpinBox : public Base, public CommitSource {
public:
    explicit CommitSpinBox(QWidget *parent) : Base(parent) {
        QObject::connect(this->lineEdit(), &QLineEdit::textEdited, this, [this] { edited = true; });
    }
    void forget_edit() {
        edited = false;
        refused.clear();
    }
    // The number the operator typed and the field refused as beyond its range,
    // while the commit it belongs to is handled; empty otherwise.
    const QString &refused_entry() const { return refused; }

protected:
    // A Czech or German operator types "2,5": the field, which reads and shows
    // numbers with a point in every locale, takes the comma as the point.
    QValidator::State validate(QString &input, int &pos) const override {
        if constexpr (std::is_same_v<Base, QDoubleSpinBox>)
            input.replace(QLatin1Char(','), QLatin1Char('.'));
        const QValidator::State state = Base::validate(input, pos);
        if (state == QValidator::Invalid && typing) {
            bool number = false;
            const double value = QLocale::c().toDouble(input.trimmed(), &number);
            if (number && (value < this->minimum() || value > this->maximum())) {
                refusedKey = true;
                refusedCandidate = input.trimmed();
            }
        }
        return state;
    }
    // Arrow keys, PageUp/PageDown, the arrow buttons and the wheel all step.
    void stepBy(int steps) override {
        const auto before = this->value();
        const bool hadEdit = edited;
        Base::stepBy(steps);
        edited = false;
        refused.clear();
        if (hadEdit || this->value() != before) commit();
    }
    void keyPressEvent(QKeyEvent *e) override {
        if (is_enter_key(e)) {
            Base::keyPressEvent(e);  // takes the typed text as the value
            edited = false;
            if (!e->isAutoRepeat()) commit_and_forget();
            return;
        }
        // A key the field refuses because the number would leave the range is
        // kept with the keys after it, so that the program can say what the
        // operator typed: "99999" into a field that ends at 9.999 shows 9.
        // Once a key is refused, the keys typed after it belong to the same
        // number ("50.5" leaves 5.5); typing over a selection starts a new one.
        const QString before = this->lineEdit()->text();
        const bool printable = !e->text().isEmpty() && e->text().at(0).isPrint();
        if (printable && this->lineEdit()->hasSelectedText()) refused.clear();
        typing = true;
        refusedKey = false;
        Base::keyPressEvent(e);
        typing = false;
        if (refusedKey)
            refused = refused.isEmpty() ? refusedCandidate : refused + e->text();
        else if (printable && !refused.isEmpty())
            refused += e->text();
        else if (this->lineEdit()->text() != before)
            refused.clear();
    }
    void focusOutEvent(QFocusEvent *e) override {
        Base::focusOutEvent(e);
        if (edited && leaves_field(e->reason())) {
            edited = false;
            commit_and_forget();
        }
    }

private:
    void commit_and_forget() {
        commit();
        refused.clear();
    }
    bool edited = false;
    QString refused;
    mutable bool typing = false;
    mutable bool refusedKey = false;
    mutable QString refusedCandidate;
};

class CommitButton : public QPushButton, public CommitSource {
public:
    explicit CommitButton(QWidget *parent) : QPushButton(parent) {
        connect(this, &QPushButton::clicked, this, [this] { commit(); });
    }

protected:
    // Return presses the button as Space does, also outside dialogs.
    void keyPressEvent(QKeyEvent *e) override {
        if (is_enter_key(e) && e->modifiers() == Qt::NoModifier) {
            e->accept();
            if (!e->isAutoRepeat()) click();
            return;
        }
        QPushButton::keyPressEvent(e);
    }
};

class CommitLineEdit : public QLineEdit, public CommitSource {
public:
    explicit CommitLineEdit(QWidget *parent) : QLineEdit(parent) {
        connect(this, &QLineEdit::textEdited, this, [this] { edited = true; });
    }
    void forget_edit() { edited = false; }

protected:
    void keyPressEvent(QKeyEvent *e) override {
        QLineEdit::keyPressEvent(e);
        if (is_enter_key(e) && !isReadOnly() && !e->isAutoRepeat()) {
            edited = false;
            commit();
        }
    }
    void focusOutEvent(QFocusEvent *e) override {
        QLineEdit::focusOutEvent(e);
        if (edited && leaves_field(e->reason())) {
            edited = false;
            commit();
        }
    }

private:
    bool edited = false;
};

// ---- Wheel and shortcuts ------------------------------------------------------

// Swallows wheel turns over a control without the keyboard focus, and makes a
// field's buddy shortcut (Alt+letter) select the field's whole text.
class OperatorGuard : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *e) override {
        if (e->type() == QEvent::Wheel) {
            auto *w = static_cast<QWidget *>(watched);
            if (w->hasFocus()) return false;
            e->ignore();
            return true;
        }
        if (e->type() == QEvent::Shortcut) {
            auto *label = qobject_cast<QLabel *>(watched);
            QWidget *field = label ? label->buddy() : nullptr;
            if (!field || !field->isEnabled() || !field->isVisible()) return false;
            field->setFocus(Qt::ShortcutFocusReason);
            if (auto *spin = qobject_cast<QAbstractSpinBox *>(field))
                spin->selectAll();
            else if (auto *edit = qobject_cast<QLineEdit *>(field))
                edit->selectAll();
            return true;
        }
        return false;
    }
};

OperatorGuard &operator_guard() {
    static OperatorGuard guard;
    return guard;
}

// ---- Lamps ----------------------------------------------------------------------

const char *const kLampValue = "lampValue";

// ---- Values ----------------------------------------------------------------------

bool holds_number(const Control &c) {
    return c.spec.kind == ControlKind::Numeric || c.spec.kind == ControlKind::Ring ||
           c.spec.kind == ControlKind::CheckBox || c.spec.kind == ControlKind::Lamp;
}

double numeric_value(const Control &c) {
    QWidget *w = c.widget;
    if (auto *d = qobject_cast<QDoubleSpinBox *>(w)) return d->value();
    if (auto *s = qobject_cast<QSpinBox *>(w)) return s->value();
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        const int i = combo->currentIndex();
        return i >= 0 && i < static_cast<int>(c.spec.itemValues.size()) ? c.spec.itemValues[i] : 0;
    }
    if (auto *box = qobject_cast<QCheckBox *>(w)) return box->isChecked() ? 1 : 0;
    return w->property(kLampValue).toInt();
}

template <class T>
int get_number(int panel, int control, T *out, ValueType type) {
    int error;
    Control *c = find_control("GetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!out)
        return report("GetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the variable's address is null"));
    if (c->spec.valueType != type)
        return report(
            "GetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
            QStringLiteral("the %1 holds a %2 value, the variable is a %3; nothing was written")
                .arg(QLatin1String(control_kind_name(c->spec.kind)),
                     QLatin1String(value_type_name(c->spec.valueType)),
                     QLatin1String(value_type_name(type))));
    *out = static_cast<T>(numeric_value(*c));
    return 0;
}

// Every numeric value of the program's reaches a numeric control: the value
// is converted as C converts it (toward zero for whole numbers) and kept
// within the control's range.
int set_number(int panel, int control, double value, const char *typeName) {
    int error;
    Control *c = find_control("SetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!holds_number(*c))
        return report(
            "SetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
            QStringLiteral("the %1 value cannot go to a %2")
                .arg(QLatin1String(typeName), QLatin1String(control_kind_name(c->spec.kind))));
    if (std::isnan(value))
        return report("SetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the value is not a number (NaN)"));
    QWidget *w = c->widget;
    if (auto *d = qobject_cast<QDoubleSpinBox *>(w)) {
        d->setValue(std::clamp(value, d->minimum(), d->maximum()));
        if (auto *field = dynamic_cast<CommitSpinBox<QDoubleSpinBox> *>(d)) field->forget_edit();
    } else if (auto *s = qobject_cast<QSpinBox *>(w)) {
        s->setValue(static_cast<int>(
            std::trunc(std::clamp(value, double(s->minimum()), double(s->maximum())))));
        if (auto *field = dynamic_cast<CommitSpinBox<QSpinBox> *>(s)) field->forget_edit();
    } else if (auto *combo = qobject_cast<QComboBox *>(w)) {
        const double whole = std::trunc(value);
        int index = -1;
        for (size_t i = 0; i < c->spec.itemValues.size(); ++i)
            if (c->spec.itemValues[i] == whole) index = static_cast<int>(i);
        if (index < 0)
            return report(
                "SetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                QStringLiteral("the ring has no item with the value %1").arg(whole, 0, 'f', 0));
        combo->setCurrentIndex(index);
    } else if (auto *box = qobject_cast<QCheckBox *>(w)) {
        box->setChecked(value != 0);
    } else {
        paint_lamp(static_cast<QLabel *>(w), c->spec.onColour, value != 0);
    }
    show_now(w);
    return 0;
}

// The string control that `routine` reads into or writes from the caller's
// `text`; nullptr with `error` set and the failure reported when there is no
// such control, `text` is null (`null_text` says so) or the control holds no
// string (`not_a_string`, given the control's kind and value type as %1, %2).
Control *find_text_control(const char *routine, int panel, int control, const void *text,
                           const QString &null_text, const QString &not_a_string, int *error) {
    Control *c = find_control(routine, panel, control, error);
    if (!c) return nullptr;
    if (!text) {
        *error = report(routine, panel, control, UIE_BAD_ARGUMENT, null_text);
        return nullptr;
    }
    if (c->spec.valueType != ValueType::String) {
        *error = report(routine, panel, control, UIE_TYPE_MISMATCH,
                        not_a_string.arg(QLatin1String(control_kind_name(c->spec.kind)),
                                         QLatin1String(value_type_name(c->spec.valueType))));
        return nullptr;
    }
    return c;
}

}  // namespace

// ---- Internal interface -----------------------------------------------------------

namespace userint_internal {

QWidget *create_commit_widget(const QString &className, QWidget *parent) {
    if (className == QLatin1String("QDoubleSpinBox"))
        return new CommitSpinBox<QDoubleSpinBox>(parent);
    if (className == QLatin1String("QSpinBox")) return new CommitSpinBox<QSpinBox>(parent);
    if (className == QLatin1String("QPushButton")) return new CommitButton(parent);
    if (className == QLatin1String("QLineEdit")) return new CommitLineEdit(parent);
    return nullptr;
}

void set_commit_action(QWidget *widget, std::function<void()> commit) {
    if (auto *source = dynamic_cast<CommitSource *>(widget)) source->onCommit = std::move(commit);
}

void wheel_only_with_focus(QWidget *control) {
    // Not Qt::WheelFocus: a wheel turn must not take the focus either.
    if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(&operator_guard());
}

void select_all_on_shortcut(QLabel *caption) { caption->installEventFilter(&operator_guard()); }

void paint_lamp(QLabel *lamp, const QString &onColour, bool lit) {
    const QColor on(onColour.isEmpty() ? QStringLiteral("#ff2020") : onColour);
    const QColor shown = lit ? on : on.darker(400);
    lamp->setProperty(kLampValue, lit ? 1 : 0);
    lamp->setStyleSheet(
        QStringLiteral(
            "QLabel { background-color: %1; border: 1px solid #202020; border-radius: 4px; }")
            .arg(shown.name()));
    lamp->setAccessibleDescription(lit ? QStringLiteral("on") : QStringLiteral("off"));
}

void show_now(QWidget *widget) {
    if (!widget || !widget->isVisible()) return;
    // Layout requests run no user code; they let a longer text get its room.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    if (auto *view = qobject_cast<QChartView *>(widget)) {
        // The chart's scene applies item changes in queued calls of its own.
        QCoreApplication::sendPostedEvents(view->scene(), QEvent::MetaCall);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        view->viewport()->repaint();
    } else {
        widget->repaint();
    }
    clear_vector_upper_state();
}

}  // namespace userint_internal

// ---- Values --------------------------------------------------------------------------

int GetCtrlVal(int panel, int control, float *value) {
    return get_number(panel, control, value, ValueType::Float);
}
int GetCtrlVal(int panel, int control, double *value) {
    return get_number(panel, control, value, ValueType::Double);
}
int GetCtrlVal(int panel, int control, int *value) {
    return get_number(panel, control, value, ValueType::Int);
}
int GetCtrlVal(int panel, int control, unsigned char *value) {
    return get_number(panel, control, value, ValueType::UChar);
}
int GetCtrlVal(int panel, int control, signed char *value) {
    return get_number(panel, control, value, ValueType::SChar);
}

int GetCtrlVal(int panel, int control, char *buffer) {
    int error;
    Control *c = find_text_control(
        "GetCtrlVal", panel, control, buffer, QStringLiteral("the buffer's address is null"),
        QStringLiteral("the %1 holds a %2 value, not a string; nothing was written"), &error);
    if (!c) return error;
    QString text;
    if (auto *label = qobject_cast<QLabel *>(c->widget))
        text = label->text();
    else if (auto *edit = qobject_cast<QLineEdit *>(c->widget))
        text = edit->text();
    const QByteArray bytes = text.toUtf8();
    std::memcpy(buffer, bytes.constData(), static_cast<size_t>(bytes.size()) + 1);
    return 0;
}

int SetCtrlVal(int panel, int control, float value) {
    return set_number(panel, control, value, "float");
}
int SetCtrlVal(int panel, int control, double value) {
    return set_number(panel, control, value, "double");
}
int SetCtrlVal(int panel, int control, int value) {
    return set_number(panel, control, value, "int");
}
int SetCtrlVal(int panel, int control, unsigned char value) {
    return set_number(panel, control, value, "uchar");
}
int SetCtrlVal(int panel, int control, signed char value) {
    return set_number(panel, control, value, "schar");
}

int GetCtrlRefusedEntry(int panel, int control, char *typed, int size, double *low, double *high) {
    int error;
    Control *c = find_control("GetCtrlRefusedEntry", panel, control, &error);
    if (!c) return error;
    QString refused;
    double minimum = 0, maximum = 0;
    if (auto *field = dynamic_cast<CommitSpinBox<QDoubleSpinBox> *>(c->widget.data())) {
        refused = field->refused_entry();
        minimum = field->minimum();
        maximum = field->maximum();
    } else if (auto *whole = dynamic_cast<CommitSpinBox<QSpinBox> *>(c->widget.data())) {
        refused = whole->refused_entry();
        minimum = whole->minimum();
        maximum = whole->maximum();
    } else {
        return report("GetCtrlRefusedEntry", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("only numeric fields refuse typed values"));
    }
    if (low) *low = minimum;
    if (high) *high = maximum;
    if (typed && size > 0) {
        // Whole UTF-8 text or nothing: the typed number is ASCII anyway.
        const QByteArray bytes = refused.toUtf8();
        const bool fits = bytes.size() < size;
        std::memcpy(typed, bytes.constData(), fits ? size_t(bytes.size()) : 0);
        typed[fits ? bytes.size() : 0] = '\0';
    }
    return refused.isEmpty() ? 0 : 1;
}

int SetCtrlVal(int panel, int control, const char *text) {
    int error;
    Control *c = find_text_control(
        "SetCtrlVal", panel, control, text, QStringLiteral("the text's address is null"),
        QStringLiteral("a text cannot go to a %1 holding a %2 value"), &error);
    if (!c) return error;
    const QString value = QString::fromUtf8(text);
    if (auto *label = qobject_cast<QLabel *>(c->widget))
        label->setText(value);
    else if (auto *edit = qobject_cast<QLineEdit *>(c->widget)) {
        edit->setText(value);
        if (auto *input = dynamic_cast<CommitLineEdit *>(edit)) input->forget_edit();
    }
    show_now(c->widget);
    return 0;
}
