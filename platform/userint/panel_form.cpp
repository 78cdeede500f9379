// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a panel file's XML into an element tree, and the scans of that tree
// for what the widget builder must not see; see panel_form.h.
#include "panel_form.h"

#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>
#include <set>

namespace panel_form {

namespace {

constexpr int kMaxDepth = 64;         // a Designer form nests maybe 15 deep
constexpr int kMaxElements = 200000;  // ~20x a large real panel
// Largest size, position, margin or spacing in pixels: beyond any screen.
constexpr int kMaxPixels = 16384;
// QWIDGETSIZE_MAX, which Designer writes into a maximum size for "no maximum".
constexpr long long kNoMaximum = 16777215;

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

}  // namespace

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
QString find_absurd_geometry(const Node &node, const QString &property) {
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

}  // namespace panel_form
