// SPDX-License-Identifier: GPL-3.0-or-later
// A panel file's XML as the checks read it (panel_file.cpp): a small element
// tree read with hard limits, the property lookups, and the scans for what the
// widget builder must not be given (references outside the panel's folder,
// geometry beyond any screen). Internal to the run-time.
#pragma once

#include <QByteArray>
#include <QString>
#include <QXmlStreamAttributes>
#include <vector>

namespace panel_form {

constexpr int kMaxShownChars = 60;  // longest file text quoted in a message

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
QString plain(const QString &text);
// The same, quoted.
QString shown(const QString &text);

// Parses the XML into `root`. Returns an empty string, or the reason it is not
// a readable form (a document type declaration, too many elements, too deep).
QString parse_tree(const QByteArray &content, Node &root);

// The <property name="..."> child of `widget`, or nullptr.
const Node *find_property(const Node &widget, const char *propertyName);
// A property's value as text (the text of its one value element, e.g.
// <number>, <string>, <cstring>, <bool>).
QString property_text(const Node &property);
// `text` as a whole number in [lo, hi].
bool parse_int(const QString &text, long long lo, long long hi, int &out);

// The first image or link path in the tree outside the panel's folder (or Qt
// resources), or a null string.
QString find_foreign_reference(const Node &node);
// The first size, position, margin or spacing beyond any screen, described,
// or a null string.
QString find_absurd_geometry(const Node &node, const QString &property = QString());
// The first name in rich text (`text`) that Qt would read from outside the
// panel's folder, or a null string.
QString find_foreign_rich_text_reference(const QString &text);

}  // namespace panel_form
