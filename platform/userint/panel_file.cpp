// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and checking a panel file before any widget is built (see panel_file.h).
//
// The file is first read into a small element tree with hard limits on size,
// depth and element count, then checked top-down: the form, the panel and its
// resource id, the panel callback, then every widget in document order. The
// first fault wins, so the operator gets one line that names it.
#include "panel_file.h"

#include <QColor>
#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "panel_form.h"
#include "userint.h"

namespace {

using namespace panel_form;

constexpr int kMaxCells = 999;  // largest row, column or span in a layout

PanelFileError fault(int code, const QString &cause) { return PanelFileError{code, cause}; }

bool parse_value_type(const QString &text, ValueType &out) {
    static const std::map<QString, ValueType> kValueTypes{
        {QStringLiteral("float"), ValueType::Float}, {QStringLiteral("double"), ValueType::Double},
        {QStringLiteral("int"), ValueType::Int},     {QStringLiteral("uchar"), ValueType::UChar},
        {QStringLiteral("schar"), ValueType::SChar}, {QStringLiteral("string"), ValueType::String}};
    const auto it = kValueTypes.find(text);
    if (it == kValueTypes.end()) return false;
    out = it->second;
    return true;
}

void integer_range(ValueType type, long long &lo, long long &hi) {
    switch (type) {
        case ValueType::UChar:
            lo = 0;
            hi = UCHAR_MAX;
            break;
        case ValueType::SChar:
            lo = SCHAR_MIN;
            hi = SCHAR_MAX;
            break;
        default:
            lo = INT_MIN;
            hi = INT_MAX;
            break;
    }
}

// What a widget class may be as a control. A class may have several rows; the
// first whose condition holds applies. `types` lists the value types the
// control may hold (None pads the list), `fallback` the one it holds when the
// panel names none (None: it holds no value), and `range` what else bounds
// its values.
enum class RangeRule { None, SpinBoxLimits, RingItems };
enum class When { Always, DeclaredInt, ReadOnly };
struct ControlClass {
    const char *widgetClass;
    When when;
    ControlKind kind;
    std::array<ValueType, 3> types;
    ValueType fallback;
    RangeRule range;

    bool holds(ValueType type) const {
        return type != ValueType::None &&
               std::find(types.begin(), types.end(), type) != types.end();
    }
};
constexpr ValueType kNo = ValueType::None, kFloat = ValueType::Float, kDouble = ValueType::Double,
                    kInt = ValueType::Int, kUChar = ValueType::UChar, kSChar = ValueType::SChar,
                    kString = ValueType::String;
// clang-format off
constexpr ControlClass kControlClasses[] = {
    // class           condition          kind                      value types               default  range rule
    {"QDoubleSpinBox", When::Always,      ControlKind::Numeric,     {kFloat, kDouble, kNo},   kDouble, RangeRule::None},
    {"QSpinBox",       When::Always,      ControlKind::Numeric,     {kInt, kUChar, kSChar},   kInt,    RangeRule::SpinBoxLimits},
    {"QComboBox",      When::Always,      ControlKind::Ring,        {kInt, kUChar, kSChar},   kInt,    RangeRule::RingItems},
    {"QPushButton",    When::Always,      ControlKind::Button,      {kNo, kNo, kNo},          kNo,     RangeRule::None},
    {"QCheckBox",      When::Always,      ControlKind::CheckBox,    {kInt, kNo, kNo},         kInt,    RangeRule::None},
    {"QLabel",         When::DeclaredInt, ControlKind::Lamp,        {kInt, kNo, kNo},         kInt,    RangeRule::None},
    {"QLabel",         When::Always,      ControlKind::TextReadout, {kString, kNo, kNo},      kString, RangeRule::None},
    {"QLineEdit",      When::ReadOnly,    ControlKind::TextReadout, {kString, kNo, kNo},      kString, RangeRule::None},
    {"QLineEdit",      When::Always,      ControlKind::TextInput,   {kString, kNo, kNo},      kString, RangeRule::None},
    {"QChartView",     When::Always,      ControlKind::Graph,       {kNo, kNo, kNo},          kNo,     RangeRule::None},
};
// clang-format on

const ControlClass *control_class(const Node &w, const QString &cls, ValueType declared) {
    for (const ControlClass &row : kControlClasses) {
        if (cls != QLatin1String(row.widgetClass)) continue;
        if (row.when == When::DeclaredInt && declared != ValueType::Int) continue;
        if (row.when == When::ReadOnly) {
            const Node *ro = find_property(w, "readOnly");
            if (!ro || property_text(*ro) != QLatin1String("true")) continue;
        }
        return &row;
    }
    return nullptr;
}

// "QDoubleSpinBox, QSpinBox, ... or QChartView": the classes a control may be.
QString control_class_names() {
    QStringList names;
    for (const ControlClass &row : kControlClasses)
        if (!names.contains(QLatin1String(row.widgetClass)))
            names << QLatin1String(row.widgetClass);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// Why `who` may not name `name` as its `role` ("callback" of a control, "panel
// callback" of the panel); empty when the program defines it as that kind.
QString callback_fault(const QString &who, const char *role, const QString &name,
                       const PanelRules &rules, bool wantControl) {
    if (name.isEmpty()) return {};
    const bool isControl = rules.isControlCallback(name), isPanel = rules.isPanelCallback(name);
    if (wantControl ? isControl : isPanel) return {};
    if (wantControl ? isPanel : isControl)
        return QStringLiteral("%1 names %2 %3, which the program defines as a %4, not a %5")
            .arg(who, QLatin1String(role), shown(name),
                 QLatin1String(wantControl ? "panel callback" : "control callback"),
                 QLatin1String(wantControl ? "control callback" : "panel callback"));
    return QStringLiteral("%1 names %2 %3, which the program does not define")
        .arg(who, QLatin1String(role), shown(name));
}

struct Checker {
    const PanelRules &rules;
    PanelSpec panel;
    std::map<int, QString> idOwners;
    std::set<QString> controlNames;
    std::optional<PanelFileError> error;

    void fail(int code, const QString &cause) {
        if (!error) error = fault(code, cause);
    }

    QString describe(const QString &name, const QString &cls) const {
        return QStringLiteral("widget %1 (%2)").arg(shown(name), plain(cls));
    }

    void check_widget(const Node &w, bool isPanel) {
        const QString cls = w.attribute("class");
        const QString name = w.attribute("name");
        if (!rules.widgetClasses.contains(cls) && cls != QLatin1String("QChartView"))
            return fail(UIE_BAD_FORM,
                        QStringLiteral("%1 has a widget class the run-time cannot build")
                            .arg(describe(name, cls)));

        for (const char *rich : {"toolTip", "whatsThis", "html", "markdown", "text"}) {
            const Node *prop = find_property(w, rich);
            if (!prop) continue;
            // A label shows its text as plain text unless the panel marks it
            // otherwise; other widgets' "text" is always plain.
            if (std::string_view(rich) == "text") {
                const Node *format = find_property(w, "textFormat");
                if (cls != QLatin1String("QLabel") || !format ||
                    property_text(*format).endsWith(QLatin1String("PlainText")))
                    continue;
            }
            if (const QString foreign = find_foreign_rich_text_reference(property_text(*prop));
                !foreign.isNull())
                return fail(UIE_BAD_FORM,
                            QStringLiteral("%1 shows rich text (%2) that refers to %3 outside the "
                                           "panel's folder")
                                .arg(describe(name, cls), QLatin1String(rich), shown(foreign)));
        }

        const Node *idProp = find_property(w, "controlId");
        const Node *callbackProp = find_property(w, "callback");
        const Node *typeProp = find_property(w, "valueType");
        const Node *itemsProp = find_property(w, "itemValues");
        if (!isPanel && !idProp) {
            const char *what = callbackProp ? "a callback"
                               : typeProp   ? "a valueType"
                               : itemsProp  ? "itemValues"
                                            : nullptr;
            if (what)
                return fail(UIE_CONTROL_NO_ID, QStringLiteral("%1 has %2 but no controlId")
                                                   .arg(describe(name, cls), QLatin1String(what)));
        }
        if (isPanel && idProp)
            return fail(
                UIE_KIND_MISMATCH,
                QStringLiteral(
                    "the panel %1 carries a controlId; the panel itself cannot be a control")
                    .arg(shown(name)));
        if (idProp) check_control(w, cls, name, *idProp, callbackProp, typeProp, itemsProp);
        if (error) return;
        walk(w);
    }

    void check_control(const Node &w, const QString &cls, const QString &name, const Node &idProp,
                       const Node *callbackProp, const Node *typeProp, const Node *itemsProp) {
        ControlSpec c;
        c.widgetClass = cls;
        c.objectName = name;
        if (!parse_int(property_text(idProp), 1, INT_MAX, c.id))
            return fail(UIE_CONTROL_NO_ID,
                        QStringLiteral("%1 has controlId %2, which is not a whole number above 0")
                            .arg(describe(name, cls), shown(property_text(idProp))));
        if (name.isEmpty())
            return fail(UIE_BAD_FORM,
                        QStringLiteral("control %1 (%2) has no name").arg(c.id).arg(shown(cls)));
        const QString self =
            QStringLiteral("control %1 (%2, %3)").arg(shown(name)).arg(c.id).arg(plain(cls));
        if (const auto it = idOwners.find(c.id); it != idOwners.end())
            return fail(UIE_DUPLICATE_ID,
                        QStringLiteral("controls %1 and %2 both have identifier %3")
                            .arg(shown(it->second), shown(name))
                            .arg(c.id));
        if (!controlNames.insert(name).second)
            return fail(UIE_BAD_FORM, QStringLiteral("two controls are named %1").arg(shown(name)));
        idOwners[c.id] = name;

        ValueType declared = ValueType::None;
        if (typeProp && !parse_value_type(property_text(*typeProp), declared))
            return fail(UIE_KIND_MISMATCH,
                        QStringLiteral(
                            "%1 has valueType %2; use float, double, int, uchar, schar or string")
                            .arg(self, shown(property_text(*typeProp))));

        const ControlClass *row = control_class(w, cls, declared);
        if (!row)
            return fail(UIE_KIND_MISMATCH, QStringLiteral("%1: a %2 cannot be a control (use %3)")
                                               .arg(self, cls, control_class_names()));
        c.kind = row->kind;
        c.valueType = typeProp ? declared : row->fallback;
        if (typeProp && !row->holds(declared)) {
            QStringList names;
            for (ValueType t : row->types)
                if (t != ValueType::None) names << QLatin1String(value_type_name(t));
            return fail(UIE_KIND_MISMATCH,
                        QStringLiteral("%1 cannot hold a %2 value (a %3 holds %4)")
                            .arg(self, QLatin1String(value_type_name(declared)), cls,
                                 names.isEmpty() ? QStringLiteral("no value")
                                                 : names.join(QStringLiteral(" or "))));
        }

        if (itemsProp && c.kind != ControlKind::Ring)
            return fail(
                UIE_KIND_MISMATCH,
                QStringLiteral("%1 has itemValues, which only a QComboBox ring uses").arg(self));
        long long lo, hi;
        integer_range(c.valueType, lo, hi);
        if (row->range == RangeRule::SpinBoxLimits) check_spin_box_range(w, c, lo, hi);
        if (row->range == RangeRule::RingItems) check_ring_items(w, itemsProp, self, c, lo, hi);
        if (error) return;
        if (c.kind == ControlKind::Lamp) {
            if (const Node *colour = find_property(w, "onColour")) {
                c.onColour = property_text(*colour);
                if (!QColor::isValidColor(c.onColour))
                    return fail(UIE_BAD_FORM,
                                QStringLiteral("%1 has onColour %2, which is not a colour")
                                    .arg(self, shown(c.onColour)));
            }
        }
        if (c.kind == ControlKind::Graph) {
            if (const Node *t = find_property(w, "xAxisTitle")) c.xAxisTitle = property_text(*t);
            if (const Node *t = find_property(w, "yAxisTitle")) c.yAxisTitle = property_text(*t);
        }
        if (callbackProp) {
            c.callback = property_text(*callbackProp);
            if (const QString why = callback_fault(self, "callback", c.callback, rules, true);
                !why.isEmpty())
                return fail(UIE_UNKNOWN_CALLBACK, why);
        }
        panel.controls.push_back(c);
    }

    // A spin box's range (its minimum and maximum, Qt's defaults 0 and 99) must
    // fit its value type, or a value the operator can set could not be stored.
    void check_spin_box_range(const Node &w, const ControlSpec &c, long long lo, long long hi) {
        long long limits[2] = {0, 99};
        static constexpr const char *kLimitNames[2] = {"minimum", "maximum"};
        for (int i = 0; i < 2; ++i) {
            const Node *limit = find_property(w, kLimitNames[i]);
            if (!limit) continue;
            bool ok = false;
            limits[i] = property_text(*limit).toLongLong(&ok);
            if (!ok)
                return fail(UIE_BAD_FORM,
                            QStringLiteral("control '%1' (%2) has the %3 %4, which is not a whole "
                                           "number")
                                .arg(c.objectName)
                                .arg(c.id)
                                .arg(QLatin1String(kLimitNames[i]), shown(property_text(*limit))));
        }
        if (limits[0] < lo || limits[1] > hi)
            fail(UIE_KIND_MISMATCH,
                 QStringLiteral("control '%1' (%2) has the range %3 to %4, which a %5 cannot hold")
                     .arg(c.objectName)
                     .arg(c.id)
                     .arg(limits[0])
                     .arg(limits[1])
                     .arg(QLatin1String(value_type_name(c.valueType))));
    }

    // A ring's values: itemValues, one whole number per item that fits the value
    // type, or else the items' positions 0, 1, ...
    void check_ring_items(const Node &w, const Node *itemsProp, const QString &self, ControlSpec &c,
                          long long lo, long long hi) {
        int items = 0;
        for (const Node &child : w.children) items += child.name == QLatin1String("item");
        if (!itemsProp) {
            if (items - 1 > hi)
                return fail(UIE_KIND_MISMATCH,
                            QStringLiteral("%1 has %2 items, more than a %3 can number")
                                .arg(self)
                                .arg(items)
                                .arg(QLatin1String(value_type_name(c.valueType))));
            for (int i = 0; i < items; ++i) c.itemValues.push_back(i);
            return;
        }
        const QString list = property_text(*itemsProp);
        const QStringList parts = list.isEmpty() ? QStringList() : list.split(QLatin1Char(','));
        if (parts.size() != items)
            return fail(UIE_KIND_MISMATCH,
                        QStringLiteral("%1 has %2 items but itemValues lists %3 values")
                            .arg(self)
                            .arg(items)
                            .arg(parts.size()));
        for (const QString &part : parts) {
            int v;
            if (!parse_int(part, lo, hi, v))
                return fail(
                    UIE_KIND_MISMATCH,
                    QStringLiteral("%1: item value %2 is not a whole number that fits %3")
                        .arg(self, shown(part), QLatin1String(value_type_name(c.valueType))));
            c.itemValues.push_back(v);
        }
    }

    // Grid and form layouts place items by row and column. Qt grows its cell
    // tables to the largest number given, and a form layout silently drops
    // (and loses the memory of) an item in a taken or nonexistent cell, so
    // positions must be small and, in a form layout, real and distinct.
    bool cells_valid(const Node &layout, bool isForm) {
        std::set<std::pair<int, int>> taken;
        for (const Node &item : layout.children) {
            if (item.name != QLatin1String("item")) continue;
            int place[4] = {0, 0, 1, 1};  // row, column, rowspan, colspan
            static constexpr const char *kPlaceNames[4] = {"row", "column", "rowspan", "colspan"};
            for (int i = 0; i < 4; ++i) {
                const QString text = item.attribute(kPlaceNames[i]);
                if (text.isEmpty()) continue;
                if (!parse_int(text, i < 2 ? 0 : 1, kMaxCells, place[i])) {
                    fail(UIE_BAD_FORM,
                         QStringLiteral("layout %1 gives an item %2 %3 (allowed: %4 to %5)")
                             .arg(shown(layout.attribute("name")), QLatin1String(kPlaceNames[i]),
                                  shown(text))
                             .arg(i < 2 ? 0 : 1)
                             .arg(kMaxCells));
                    return false;
                }
            }
            if (!isForm) continue;
            const int row = place[0], column = place[1], span = place[3];
            if (column > 1 || column + span > 2) {
                fail(UIE_BAD_FORM,
                     QStringLiteral("layout %1 is a form layout; it has no column %2 (span %3)")
                         .arg(shown(layout.attribute("name")))
                         .arg(column)
                         .arg(span));
                return false;
            }
            for (int c = column; c < column + span; ++c)
                if (!taken.insert({row, c}).second) {
                    fail(UIE_BAD_FORM,
                         QStringLiteral("layout %1 puts two items in row %2, column %3")
                             .arg(shown(layout.attribute("name")))
                             .arg(row)
                             .arg(c));
                    return false;
                }
        }
        return true;
    }

    // Visits the widgets and layouts below `node`.
    void walk(const Node &node) {
        for (const Node &c : node.children) {
            if (error) return;
            if (c.name == QLatin1String("widget"))
                check_widget(c, false);
            else if (c.name == QLatin1String("layout")) {
                const QString cls = c.attribute("class");
                if (!rules.layoutClasses.contains(cls))
                    return fail(
                        UIE_BAD_FORM,
                        QStringLiteral("layout %1 has a class the run-time cannot build: %2")
                            .arg(shown(c.attribute("name")), shown(cls)));
                if (!cells_valid(c, cls == QLatin1String("QFormLayout"))) return;
                walk(c);
            } else if (c.name == QLatin1String("item"))
                walk(c);
        }
    }
};

}  // namespace

const char *value_type_name(ValueType type) {
    switch (type) {
        case ValueType::None:
            return "none";
        case ValueType::Float:
            return "float";
        case ValueType::Double:
            return "double";
        case ValueType::Int:
            return "int";
        case ValueType::UChar:
            return "uchar";
        case ValueType::SChar:
            return "schar";
        case ValueType::String:
            return "string";
    }
    return "?";
}

const char *control_kind_name(ControlKind kind) {
    switch (kind) {
        case ControlKind::Numeric:
            return "numeric control";
        case ControlKind::Ring:
            return "ring";
        case ControlKind::Button:
            return "command button";
        case ControlKind::CheckBox:
            return "check box";
        case ControlKind::Lamp:
            return "indicator lamp";
        case ControlKind::TextReadout:
            return "text read-out";
        case ControlKind::TextInput:
            return "text input";
        case ControlKind::Graph:
            return "graph";
    }
    return "?";
}

std::variant<PanelSpec, PanelFileError> read_panel_file(const QByteArray &content, int resourceId,
                                                        const PanelRules &rules) {
    if (content.size() > kMaxPanelFileBytes)
        return fault(UIE_BAD_FORM,
                     QStringLiteral("it is larger than %1 MB, so it is not a panel file")
                         .arg(kMaxPanelFileBytes / (1024 * 1024)));
    if (content.trimmed().isEmpty()) return fault(UIE_BAD_FORM, QStringLiteral("it is empty"));
    Node root;
    if (const QString why = parse_tree(content, root); !why.isEmpty())
        return fault(UIE_BAD_FORM, why);
    if (root.name != QLatin1String("ui"))
        return fault(
            UIE_BAD_FORM,
            QStringLiteral("it is not a Qt Designer form (its top element is <%1>, not <ui>)")
                .arg(root.name.left(kMaxShownChars)));

    const Node *panelNode = nullptr;
    for (const Node &c : root.children) {
        if (c.name == QLatin1String("widget")) {
            if (panelNode)
                return fault(UIE_BAD_FORM,
                             QStringLiteral("the form has more than one top-level widget"));
            panelNode = &c;
        } else if (c.name == QLatin1String("connections") && !c.children.empty()) {
            return fault(
                UIE_BAD_FORM,
                QStringLiteral("the form has signal/slot connections; panels bind their callbacks "
                               "with the 'callback' property instead"));
        } else if (c.name == QLatin1String("customwidgets")) {
            for (const Node &cw : c.children) {
                const Node *cls = cw.child("class");
                const QString name = cls ? cls->text.trimmed() : QString();
                if (name != QLatin1String("QChartView"))
                    return fault(
                        UIE_BAD_FORM,
                        QStringLiteral("the form declares custom widget %1; the only custom widget "
                                       "a panel may use is QChartView")
                            .arg(shown(name)));
            }
        }
    }
    if (!panelNode) return fault(UIE_BAD_FORM, QStringLiteral("the form holds no panel widget"));
    if (const QString foreign = find_foreign_reference(root); !foreign.isNull())
        return fault(
            UIE_BAD_FORM,
            QStringLiteral("the form refers to %1 outside the panel's folder").arg(shown(foreign)));

    if (const QString absurd = find_absurd_geometry(root); !absurd.isNull())
        return fault(UIE_BAD_FORM, QStringLiteral("the form's %1").arg(absurd));

    const QString panelClass = panelNode->attribute("class");
    if (panelClass != QLatin1String("QWidget"))
        return fault(UIE_BAD_FORM,
                     QStringLiteral("the panel is a %1; a panel must be a plain QWidget")
                         .arg(shown(panelClass)));

    Checker check{rules, {}, {}, {}, {}};
    check.panel.objectName = panelNode->attribute("name");
    const Node *rid = find_property(*panelNode, "resourceId");
    if (!rid)
        return fault(
            UIE_NO_SUCH_PANEL,
            QStringLiteral("it holds no panel with resource id %1 (the panel has no resourceId)")
                .arg(resourceId));
    int fileId;
    if (!parse_int(property_text(*rid), INT_MIN, INT_MAX, fileId))
        return fault(UIE_NO_SUCH_PANEL,
                     QStringLiteral("its panel's resourceId %1 is not a whole number")
                         .arg(shown(property_text(*rid))));
    if (fileId != resourceId)
        return fault(UIE_NO_SUCH_PANEL,
                     QStringLiteral("it holds panel %1, not panel %2").arg(fileId).arg(resourceId));
    check.panel.resourceId = fileId;

    if (const Node *pcb = find_property(*panelNode, "panelCallback")) {
        const QString name = property_text(*pcb);
        if (const QString why =
                callback_fault(QStringLiteral("the panel"), "panel callback", name, rules, false);
            !why.isEmpty())
            return fault(UIE_UNKNOWN_CALLBACK, why);
        check.panel.panelCallback = name;
    }

    check.check_widget(*panelNode, true);
    if (check.error) return *check.error;

    if (const Node *cc = find_property(*panelNode, "closeControl")) {
        const QString name = property_text(*cc);
        if (!name.isEmpty()) {
            for (const ControlSpec &c : check.panel.controls)
                if (c.objectName == name) check.panel.closeControlId = c.id;
            if (!check.panel.closeControlId)
                return fault(
                    UIE_CONTROL_NO_ID,
                    QStringLiteral("the panel's closeControl %1 names no control with a controlId")
                        .arg(shown(name)));
        }
    }
    return check.panel;
}
