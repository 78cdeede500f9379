// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and checking a panel file before any widget is built.
//
// A panel file is a Qt Designer form. read_panel_file() parses it with a plain
// XML reader, refuses everything the widget builder must not see (malformed
// XML, document type declarations, absurd nesting, unknown widget classes,
// signal/slot connections, images read from outside the panel's folder) and
// extracts the panel and its controls: identifier, kind, value type, callback
// name and the run-time's dynamic properties. Only a file that passes is given
// to the widget builder, so no file content can crash the loader.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <variant>
#include <vector>

enum class ValueType { None, Float, Double, Int, UChar, SChar, String };
enum class ControlKind { Numeric, Ring, Button, CheckBox, Lamp, TextReadout, TextInput, Graph };

const char *value_type_name(ValueType type);
const char *control_kind_name(ControlKind kind);

struct ControlSpec {
    int id = 0;
    QString objectName;
    QString widgetClass;
    ControlKind kind = ControlKind::Button;
    ValueType valueType = ValueType::None;
    QString callback;             // empty: no callback
    std::vector<int> itemValues;  // rings: one value per item
    QString onColour;             // lamps: colour when lit (empty: default)
    QString xAxisTitle, yAxisTitle;
};

struct PanelSpec {
    int resourceId = 0;
    QString objectName;
    QString panelCallback;   // empty: none
    int closeControlId = 0;  // 0: the close box only reaches the panel callback
    std::vector<ControlSpec> controls;
};

struct PanelFileError {
    int code;       // one of the UIE_ codes of userint.h
    QString cause;  // one line, in the operator's terms, without the file name
};

// What a panel file may refer to: the program's callbacks (a control callback
// and a panel callback are different things) and the widget and layout
// classes the widget builder can create.
struct PanelRules {
    std::function<bool(const QString &)> isControlCallback;
    std::function<bool(const QString &)> isPanelCallback;
    QStringList widgetClasses;
    QStringList layoutClasses;
};

// Checks `content` as panel `resourceId`. Returns the panel's description, or
// the first fault found with its UIE_ code.
std::variant<PanelSpec, PanelFileError> read_panel_file(const QByteArray &content, int resourceId,
                                                        const PanelRules &rules);

// Largest panel file accepted, in bytes; a real panel is a few tens of kB.
constexpr qint64 kMaxPanelFileBytes = 4 * 1024 * 1024;
