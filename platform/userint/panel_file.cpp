// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and checking a panel file before any widget is built (see panel_file.h).
//
// The file is first read into a small element tree with hard limits on size,
// depth and element count, then checked top-down: the form, the panel and its
// resource id, the panel callback, then every widget in document order. The
// first fault wins, so the operator gets one line that names it.
#include "panel_file.h"

#include <QColor>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <climits>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "userint.h"

namespace {

constexpr int kMaxDepth = 64;         // a Designer form nests maybe 15 deep
constexpr int kMaxElements = 200000;  // ~20x a large real panel
constexpr int kMaxShownChars = 60;    // longest file text quoted in a message
constexpr int kMaxCells = 999;        // largest row, column or span in a layout
// Largest size, position, margin or spacing in pixels: beyond any screen.
constexpr int kMaxPixels = 16384;
// QWIDGETSIZE_MAX, which Designer writes into a maximum size for "no maximum".
constexpr long long kNoMaximum = 16777215;

struct Node {
    QString name;
    QXmlStreamAttributes attributes;
    QString text;
    std::vector<Node> children;

    QString attribute(const char *key) const {
        return attributes.value(QLatin1String(key)).toString();
    }
    const Node *child(const char *childName) const {
        for (const Node &c : children)
            if (c.name == QLatin1String(childName)) return &c;
        return nullptr;
    }
};

// File text shown in a message: one line, bounded, no control characters.
QString plain(const QString &text) {
    QString s = text.left(kMaxShownChars);
    for (QChar &c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
    if (text.size() > kMaxShownChars) s += QStringLiteral("...");
    return s;
}
// The same, quoted.
QString shown(const QString &text) { return QLatin1Char('\'') + plain(text) + QLatin1Char('\''); }

PanelFileError fault(int code, const QString &cause) { return PanelFileError{code, cause}; }

// Parses the XML into `root`. Returns an empty string, or the reason it is not
// a readable form.
QString parse_tree(const QByteArray &content, Node &root) {
    QXmlStreamReader xml(content);
    std::vector<Node *> open;
    bool haveRoot = false;
    int elements = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
            case QXmlStreamReader::DTD:
                return QStringLiteral(
                    "it contains a document type declaration, which panel files do not use");
            case QXmlStreamReader::StartElement: {
                if (++elements > kMaxElements)
                    return QStringLiteral("it has more than %1 elements").arg(kMaxElements);
                if (static_cast<int>(open.size()) >= kMaxDepth)
                    return QStringLiteral("its elements nest more than %1 deep").arg(kMaxDepth);
                Node *node;
                if (open.empty()) {
                    if (haveRoot) return QStringLiteral("it has more than one top element");
                    haveRoot = true;
                    node = &root;
                } else {
                    open.back()->children.emplace_back();
                    node = &open.back()->children.back();
                }
                node->name = xml.name().toString();
                node->attributes = xml.attributes();
                open.push_back(node);
                break;
            }
            case QXmlStreamReader::EndElement:
                if (!open.empty()) open.pop_back();
                break;
            case QXmlStreamReader::Characters:
                if (!open.empty()) open.back()->text += xml.text();
                break;
            default:
                break;
        }
    }
    if (xml.hasError())
        return QStringLiteral("it is not well-formed XML (line %1, column %2: %3)")
            .arg(xml.lineNumber())
            .arg(xml.columnNumber())
            .arg(xml.errorString());
    if (!haveRoot) return QStringLiteral("it is empty");
    return {};
}

// The value of a <property name="..."> child of `widget`, as text (the text of
// its one value element, e.g. <number>, <string>, <cstring>, <bool>).
const Node *find_property(const Node &widget, const char *propertyName) {
    for (const Node &c : widget.children)
        if (c.name == QLatin1String("property") &&
            c.attribute("name") == QLatin1String(propertyName))
            return &c;
    return nullptr;
}
QString property_text(const Node &property) {
    for (const Node &c : property.children) return c.text.trimmed();
    return property.text.trimmed();
}

bool parse_int(const QString &text, long long lo, long long hi, int &out) {
    bool ok = false;
    const long long v = text.trimmed().toLongLong(&ok);
    if (!ok || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

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

// Images and links in a form are read from disk by the widget builder; only
// paths inside the panel's own folder (or Qt resources) are allowed, so a
// panel file cannot make the program read devices or files elsewhere.
bool is_local_reference(const QString &raw) {
    const QString path = raw.trimmed();
    if (path.isEmpty() || path.startsWith(QLatin1Char(':')) ||
        path.startsWith(QLatin1String("qrc:")))
        return true;
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('~')) ||
        path.startsWith(QLatin1Char('\\')))
        return false;
    if (path.contains(QLatin1String("://")) || path.startsWith(QLatin1String("file:")))
        return false;
    const QStringList parts = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    return !parts.contains(QStringLiteral(".."));
}

QString find_foreign_reference(const Node &node) {
    static const std::set<QString> kPathElements{
        QStringLiteral("pixmap"),     QStringLiteral("iconset"),     QStringLiteral("normaloff"),
        QStringLiteral("normalon"),   QStringLiteral("disabledoff"), QStringLiteral("disabledon"),
        QStringLiteral("activeoff"),  QStringLiteral("activeon"),    QStringLiteral("selectedoff"),
        QStringLiteral("selectedon"), QStringLiteral("url")};
    if (kPathElements.count(node.name)) {
        if (!is_local_reference(node.text)) return node.text;
        for (const Node &c : node.children)
            if (!is_local_reference(c.text)) return c.text;
    }
    for (const Node &c : node.children) {
        QString found = find_foreign_reference(c);
        if (!found.isNull()) return found;
    }
    return QString();
}

// A panel or widget larger than any screen makes Qt allocate a backing store
// it cannot have (a 100000 x 100000 panel crashes the offscreen platform in
// Qt's style code), and margins or spacings add up to the same. Every size,
// position, margin and spacing in the form must lie within kMaxPixels; a
// maximum may also be Qt's "no maximum". Returns the first that does not,
// described, or a null string.
QString find_absurd_geometry(const Node &node, const QString &property = QString()) {
    static const std::set<QString> kPixelNumbers{QStringLiteral("minimumWidth"),
                                                 QStringLiteral("minimumHeight"),
                                                 QStringLiteral("maximumWidth"),
                                                 QStringLiteral("maximumHeight"),
                                                 QStringLiteral("leftMargin"),
                                                 QStringLiteral("topMargin"),
                                                 QStringLiteral("rightMargin"),
                                                 QStringLiteral("bottomMargin"),
                                                 QStringLiteral("margin"),
                                                 QStringLiteral("spacing"),
                                                 QStringLiteral("horizontalSpacing"),
                                                 QStringLiteral("verticalSpacing")};
    const QString within =
        node.name == QLatin1String("property") ? node.attribute("name") : property;
    const long long high = within.startsWith(QLatin1String("maximum")) ? kNoMaximum : kMaxPixels;
    auto outside = [&](const QString &what, const QString &text) {
        int value;
        if (parse_int(text, -kMaxPixels, high, value)) return QString();
        return QStringLiteral("property %1 gives %2 %3 (allowed: -%4 to %5 px)")
            .arg(shown(within), what, shown(text.trimmed()))
            .arg(kMaxPixels)
            .arg(high);
    };
    if (node.name == QLatin1String("rect") || node.name == QLatin1String("size") ||
        node.name == QLatin1String("point")) {
        for (const Node &c : node.children)
            if (c.name == QLatin1String("x") || c.name == QLatin1String("y") ||
                c.name == QLatin1String("width") || c.name == QLatin1String("height"))
                if (QString why = outside(c.name, c.text); !why.isNull()) return why;
    } else if (node.name == QLatin1String("number") && kPixelNumbers.count(within)) {
        if (QString why = outside(QStringLiteral("a length"), node.text); !why.isNull()) return why;
    }
    for (const Node &c : node.children)
        if (QString why = find_absurd_geometry(c, within); !why.isNull()) return why;
    return QString();
}

// Rich text names images and style sheets that Qt reads from disk when it
// lays the text out: a label's text marked as rich text, and any tool tip,
// "What's This" text or text-document content. Returns the first name in
// `text` that is not inside the panel's folder, or a null string. A name
// with an entity or a percent escape is refused too: Qt decodes those, so
// they could spell "/" or "..".
QString find_foreign_rich_text_reference(const QString &text) {
    static const QRegularExpression kReferences(
        QStringLiteral(
            R"re((?:\b(?:src|href|background)\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))|)re"
            R"re((?:\burl\(\s*['"]?([^'")]*))|(?:@import\s*['"]([^'"]*))|)re"
            R"re((?:!\[[^\]]*\]\(\s*<?([^)\s>]*)))re"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = kReferences.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        for (int group = 1; group <= match.lastCapturedIndex(); ++group) {
            const QString name = match.captured(group);
            if (name.isNull()) continue;
            if (name.contains(QLatin1Char('&')) || name.contains(QLatin1Char('%')) ||
                !is_local_reference(name))
                return name;
        }
    }
    return QString();
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

        bool typeGiven = typeProp != nullptr;
        ValueType declared = ValueType::None;
        if (typeGiven && !parse_value_type(property_text(*typeProp), declared))
            return fail(UIE_KIND_MISMATCH,
                        QStringLiteral(
                            "%1 has valueType %2; use float, double, int, uchar, schar or string")
                            .arg(self, shown(property_text(*typeProp))));

        auto allow = [&](ControlKind kind, std::initializer_list<ValueType> types,
                         ValueType fallback) {
            c.kind = kind;
            if (!typeGiven) {
                c.valueType = fallback;
                return true;
            }
            for (ValueType t : types)
                if (t == declared) {
                    c.valueType = declared;
                    return true;
                }
            QStringList names;
            for (ValueType t : types) names << QLatin1String(value_type_name(t));
            fail(UIE_KIND_MISMATCH, QStringLiteral("%1 cannot hold a %2 value (a %3 holds %4)")
                                        .arg(self, QLatin1String(value_type_name(declared)), cls,
                                             names.isEmpty() ? QStringLiteral("no value")
                                                             : names.join(QStringLiteral(" or "))));
            return false;
        };
        bool fits;
        if (cls == QLatin1String("QDoubleSpinBox"))
            fits = allow(ControlKind::Numeric, {ValueType::Float, ValueType::Double},
                         ValueType::Double);
        else if (cls == QLatin1String("QSpinBox"))
            fits = allow(ControlKind::Numeric, {ValueType::Int, ValueType::UChar, ValueType::SChar},
                         ValueType::Int);
        else if (cls == QLatin1String("QComboBox"))
            fits = allow(ControlKind::Ring, {ValueType::Int, ValueType::UChar, ValueType::SChar},
                         ValueType::Int);
        else if (cls == QLatin1String("QPushButton"))
            fits = allow(ControlKind::Button, {}, ValueType::None);
        else if (cls == QLatin1String("QCheckBox"))
            fits = allow(ControlKind::CheckBox, {ValueType::Int}, ValueType::Int);
        else if (cls == QLatin1String("QChartView"))
            fits = allow(ControlKind::Graph, {}, ValueType::None);
        else if (cls == QLatin1String("QLabel"))
            fits = declared == ValueType::Int
                       ? allow(ControlKind::Lamp, {ValueType::Int}, ValueType::Int)
                       : allow(ControlKind::TextReadout, {ValueType::String}, ValueType::String);
        else if (cls == QLatin1String("QLineEdit")) {
            const Node *ro = find_property(w, "readOnly");
            const bool readOnly = ro && property_text(*ro) == QLatin1String("true");
            fits = allow(readOnly ? ControlKind::TextReadout : ControlKind::TextInput,
                         {ValueType::String}, ValueType::String);
        } else
            return fail(
                UIE_KIND_MISMATCH,
                QStringLiteral(
                    "%1: a %2 cannot be a control (use QDoubleSpinBox, QSpinBox, QComboBox, "
                    "QPushButton, QCheckBox, QLabel, QLineEdit or QChartView)")
                    .arg(self, cls));
        if (!fits) return;

        if (itemsProp && c.kind != ControlKind::Ring)
            return fail(
                UIE_KIND_MISMATCH,
                QStringLiteral("%1 has itemValues, which only a QComboBox ring uses").arg(self));
        if (c.kind == ControlKind::Ring) {
            int items = 0;
            for (const Node &child : w.children) items += child.name == QLatin1String("item");
            long long lo, hi;
            integer_range(c.valueType, lo, hi);
            if (itemsProp) {
                const QString list = property_text(*itemsProp);
                const QStringList parts =
                    list.isEmpty() ? QStringList() : list.split(QLatin1Char(','));
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
                                .arg(self, shown(part),
                                     QLatin1String(value_type_name(c.valueType))));
                    c.itemValues.push_back(v);
                }
            } else {
                if (items - 1 > hi)
                    return fail(UIE_KIND_MISMATCH,
                                QStringLiteral("%1 has %2 items, more than a %3 can number")
                                    .arg(self)
                                    .arg(items)
                                    .arg(QLatin1String(value_type_name(c.valueType))));
                for (int i = 0; i < items; ++i) c.itemValues.push_back(i);
            }
        }
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
            if (!c.callback.isEmpty() && !rules.isControlCallback(c.callback)) {
                if (rules.isPanelCallback(c.callback))
                    return fail(
                        UIE_UNKNOWN_CALLBACK,
                        QStringLiteral(
                            "%1 names callback %2, which the program defines as a panel callback, "
                            "not a control callback")
                            .arg(self, shown(c.callback)));
                return fail(
                    UIE_UNKNOWN_CALLBACK,
                    QStringLiteral("%1 names callback %2, which the program does not define")
                        .arg(self, shown(c.callback)));
            }
        }
        panel.controls.push_back(c);
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
        if (!name.isEmpty() && !rules.isPanelCallback(name)) {
            if (rules.isControlCallback(name))
                return fault(
                    UIE_UNKNOWN_CALLBACK,
                    QStringLiteral("the panel names panel callback %1, which the program defines "
                                   "as a control callback, not a panel callback")
                        .arg(shown(name)));
            return fault(UIE_UNKNOWN_CALLBACK,
                         QStringLiteral(
                             "the panel names panel callback %1, which the program does not define")
                             .arg(shown(name)));
        }
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
