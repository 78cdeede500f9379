// SPDX-License-Identifier: GPL-3.0-or-later
// Panels: finding a panel file, building its form, binding its controls, and
// the table of loaded panels (LoadPanel, DisplayPanel, DiscardPanel).
//
// A panel is a Qt Designer form built with QUiLoader after panel_file.cpp has
// checked it. The builder makes the run-time's own committing widgets
// (controls.cpp) and chart views in place of Qt's classes; each control is
// then bound to its callback by name (events.cpp) and named for screen
// readers and desktop automation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QBuffer>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTextDocument>
#include <QUiLoader>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "panel_file.h"
#include "panel_look.h"
#include "panel_search.h"
#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

std::map<int, std::unique_ptr<Panel>> panels;

class PanelBuilder : public QUiLoader {
public:
    PanelBuilder() {
        clearPluginPaths();  // a panel never needs Designer plugins
        setTranslationEnabled(false);
    }
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        QWidget *w = className == QLatin1String("QChartView")
                         ? new QChartView(parent)
                         : create_commit_widget(className, parent);
        if (!w) {
            w = QUiLoader::createWidget(className, parent, name);
            // A label's text is shown as it is written unless the panel marks
            // the label as rich text (textFormat, applied after this): rich
            // text can make Qt read files, so it must be asked for.
            if (auto *label = qobject_cast<QLabel *>(w)) label->setTextFormat(Qt::PlainText);
            return w;
        }
        w->setObjectName(name);
        return w;
    }
};

// ---- Rich text's files ----------------------------------------------------------

// Largest image or style sheet rich text may read, in bytes.
constexpr qint64 kMaxRichTextResourceBytes = 16 * 1024 * 1024;

// The folders of the panels loaded so far (canonical paths).
QStringList &panel_folders() {
    static QStringList folders;
    return folders;
}

// Rich text (labels marked so, tool tips) names images and style sheets that
// Qt reads when it lays the text out. The panel check lets it name only files
// in the panel's folder; this is the second line, for every text document of
// the program: a file is read only when it lies in the folder of a loaded
// panel, is a regular file of bounded size and opens without blocking (a FIFO
// or device named there can neither hang nor flood the program). Anything
// else reads as empty, with a warning. Qt resources and data: URLs are in
// memory and left to Qt.
QVariant rich_text_resource(const QUrl &url) {
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("qrc") || scheme == QLatin1String("data") ||
        (scheme.isEmpty() && url.path().startsWith(QLatin1Char(':'))))
        return QVariant();
    if (!scheme.isEmpty() && scheme != QLatin1String("file")) return QByteArray();
    const QString name = scheme.isEmpty() ? url.path() : url.toLocalFile();
    QStringList candidates;
    if (QDir::isRelativePath(name)) {
        for (const QString &folder : panel_folders())
            candidates << folder + QLatin1Char('/') + name;
    } else {
        candidates << name;
    }
    auto refuse = [&](const QString &why) {
        qWarning("rich text refers to %s, which is not read: %s", qPrintable(name),
                 qPrintable(why));
        return QVariant(QByteArray());
    };
    for (const QString &candidate : candidates) {
        const QString real = QFileInfo(candidate).canonicalFilePath();
        if (real.isEmpty()) continue;
        bool inside = false;
        for (const QString &folder : panel_folders())
            inside = inside || real.startsWith(folder + QLatin1Char('/'));
        if (!inside) return refuse(QStringLiteral("it is outside the panels' folders"));
        const int fd = ::open(QFile::encodeName(real).constData(),
                              O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return refuse(QString::fromLocal8Bit(std::strerror(errno)));
        QFile file;
        struct stat info;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return refuse(QStringLiteral("not a regular file"));
        }
        if (info.st_size > kMaxRichTextResourceBytes) {
            ::close(fd);
            return refuse(QStringLiteral("larger than %1 MiB")
                              .arg(kMaxRichTextResourceBytes / (1024 * 1024)));
        }
        if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return refuse(file.errorString());
        }
        return file.read(kMaxRichTextResourceBytes);
    }
    return QByteArray();  // no such file: nothing to show
}

// ---- Loading ---------------------------------------------------------------------

QString clean_label(QString text) {
    text.replace(QLatin1String("&&"), QLatin1String("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text.simplified();
}

void name_for_automation(QWidget *panel, QWidget *control) {
    if (!control->accessibleName().isEmpty()) return;
    for (QLabel *label : panel->findChildren<QLabel *>())
        if (label->buddy() == control && !label->text().isEmpty()) {
            control->setAccessibleName(clean_label(label->text()));
            return;
        }
    if (auto *button = qobject_cast<QAbstractButton *>(control);
        button && !button->text().isEmpty()) {
        control->setAccessibleName(clean_label(button->text()));
        return;
    }
    control->setAccessibleName(control->objectName());
}

const QStringList &buildable_widget_classes() {
    static const QStringList classes = [] {
        PanelBuilder builder;
        QStringList c = builder.availableWidgets();
        c << QStringLiteral("Line") << QStringLiteral("QChartView");
        return c;
    }();
    return classes;
}

const QStringList &buildable_layout_classes() {
    static const QStringList classes = PanelBuilder().availableLayouts();
    return classes;
}

int lowest_free_handle() {
    int h = 1;
    while (panels.count(h)) ++h;
    return h;
}

QString resolve_panel_path(const QString &name, QString &notFound) {
    if (name.contains(QLatin1Char('/'))) return name;
    QStringList folders;
    for (const std::string &folder : panel_search_folders())
        folders << QString::fromStdString(folder);
    for (const QString &folder : folders) {
        const QString candidate = folder + QLatin1Char('/') + name;
        if (QFileInfo::exists(candidate)) return candidate;
    }
    notFound = QStringLiteral("not found in the program's folder %1 nor in %2")
                   .arg(folders[0], folders.mid(1).join(QStringLiteral(" nor in ")));
    return QString();
}

int load_from_file(int parentPanel, const char *fileName, int resourceId) {
    const QString name = fileName ? QString::fromLocal8Bit(fileName) : QString();
    if (name.isEmpty())
        return load_failure(QStringLiteral("(no name)"), UIE_FILE_NOT_FOUND,
                            QStringLiteral("no panel file name given"));
    QString notFound;
    const QString path = resolve_panel_path(name, notFound);
    if (path.isEmpty()) return load_failure(name, UIE_FILE_NOT_FOUND, notFound);
    const QFileInfo info(path);
    if (!info.exists())
        return load_failure(path, UIE_FILE_NOT_FOUND, QStringLiteral("no such file"));
    if (!info.isFile())
        return load_failure(path, UIE_FILE_NOT_FOUND, QStringLiteral("not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return load_failure(path, UIE_FILE_NOT_FOUND,
                            QStringLiteral("cannot be read: %1").arg(file.errorString()));
    const QByteArray content = file.read(kMaxPanelFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return load_failure(path, UIE_FILE_NOT_FOUND,
                            QStringLiteral("cannot be read: %1").arg(file.errorString()));
    return build_panel(path, content, parentPanel, resourceId);
}

}  // namespace

// ---- Internal interface -----------------------------------------------------------

namespace userint_internal {

Panel *find_panel(int handle) {
    const auto it = panels.find(handle);
    return it == panels.end() || !it->second->window ? nullptr : it->second.get();
}

Control *look_up_control(int panel, int control) {
    Panel *p = find_panel(panel);
    if (!p) return nullptr;
    const auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : &it->second;
}

Control *find_control(const char *operation, int panel, int control, int *error) {
    if (!started()) {
        *error = report(operation, panel, control, UIE_NOT_INITIALISED,
                        QStringLiteral("the GUI run-time is not initialised (InitCVIRTE)"));
        return nullptr;
    }
    Panel *p = find_panel(panel);
    if (!p) {
        *error = report(operation, panel, control, UIE_BAD_PANEL,
                        QStringLiteral("no panel is loaded with this handle"));
        return nullptr;
    }
    const auto it = p->controls.find(control);
    if (it == p->controls.end() || !it->second.widget) {
        *error = report(
            operation, panel, control, UIE_BAD_CONTROL,
            QStringLiteral("the panel from %1 has no control with this identifier").arg(p->path));
        return nullptr;
    }
    return &it->second;
}

QWidget *some_visible_panel() {
    for (const auto &[h, p] : panels)
        if (p->window && p->window->isVisible()) return p->window;
    return nullptr;
}

int load_failure(const QString &file, int code, const QString &cause) {
    std::fprintf(stderr, "LoadPanel: %s: %s\n", one_line(file).constData(),
                 one_line(cause).constData());
    return code;
}

// Builds and binds the panel described by `content`, read from `path`.
int build_panel(const QString &path, const QByteArray &content, int parentPanel, int resourceId) {
    const PanelRules rules{[](const QString &n) { return control_callback_named(n) != nullptr; },
                           [](const QString &n) { return panel_callback_named(n) != nullptr; },
                           buildable_widget_classes(), buildable_layout_classes()};
    auto checked = read_panel_file(content, resourceId, rules);
    if (auto *e = std::get_if<PanelFileError>(&checked))
        return load_failure(path, e->code, e->cause);
    const PanelSpec &spec = std::get<PanelSpec>(checked);

    // The builder reports problems through qWarning; collect them so the
    // operator gets one line naming the file.
    static QStringList builderWarnings;
    builderWarnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
            builderWarnings << msg.simplified();
        });
    if (!QTextDocument::defaultResourceProvider())
        QTextDocument::setDefaultResourceProvider(rich_text_resource);
    const QString folder = QFileInfo(path).absoluteDir().canonicalPath();
    if (!folder.isEmpty() && !panel_folders().contains(folder)) panel_folders() << folder;
    PanelBuilder builder;
    builder.setWorkingDirectory(QFileInfo(path).absoluteDir());
    QByteArray bytes = content;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QWidget *window = builder.load(&buffer, nullptr);
    qInstallMessageHandler(previous);

    auto refuse = [&](int code, const QString &cause) {
        delete window;
        return load_failure(path, code, cause);
    };
    if (!window) {
        QString why = builder.errorString();
        if (why.isEmpty() && !builderWarnings.isEmpty()) why = builderWarnings.first();
        return refuse(UIE_BAD_FORM,
                      QStringLiteral("Qt could not build the form: %1").arg(why.left(200)));
    }
    for (const QString &w : builderWarnings)
        std::fprintf(stderr, "LoadPanel: %s: warning: %s\n", one_line(path).constData(),
                     one_line(w.left(200)).constData());

    auto p = std::make_unique<Panel>();
    p->handle = lowest_free_handle();
    p->parent = parentPanel;
    p->path = path;
    p->window = window;
    p->callback = spec.panelCallback.isEmpty() ? nullptr : panel_callback_named(spec.panelCallback);
    p->closeControlId = spec.closeControlId;

    for (const ControlSpec &cs : spec.controls) {
        QWidget *w = nullptr;
        for (QWidget *candidate : window->findChildren<QWidget *>(cs.objectName))
            if (candidate->objectName() == cs.objectName &&
                candidate->inherits(cs.widgetClass.toLatin1().constData()))
                w = candidate;
        if (!w)
            return refuse(
                UIE_BAD_FORM,
                QStringLiteral("control '%1' (%2) was not built").arg(cs.objectName).arg(cs.id));
        Control &c = p->controls[cs.id];
        c.spec = cs;
        c.widget = w;
        c.callback = cs.callback.isEmpty() ? nullptr : control_callback_named(cs.callback);
    }

    const int handle = p->handle;
    for (auto &[id, c] : p->controls) {
        QWidget *w = c.widget;
        const int controlId = id;
        auto commit = [handle, controlId] { dispatch(handle, controlId, EVENT_COMMIT); };
        switch (c.spec.kind) {
            case ControlKind::Numeric:
                // Numbers read the same in every locale, as the program's texts do.
                w->setLocale(QLocale::c());
                wheel_only_with_focus(w);
                [[fallthrough]];
            case ControlKind::Button:
            case ControlKind::TextInput:
                set_commit_action(w, commit);
                break;
            case ControlKind::Ring:
                wheel_only_with_focus(w);
                QObject::connect(static_cast<QComboBox *>(w), &QComboBox::activated, w, commit);
                break;
            case ControlKind::CheckBox:
                // clicked: the operator's click or Space, never SetCtrlVal.
                QObject::connect(static_cast<QCheckBox *>(w), &QCheckBox::clicked, w, commit);
                break;
            case ControlKind::Lamp:
                static_cast<QLabel *>(w)->setText(QString());
                paint_lamp(static_cast<QLabel *>(w), c.spec.onColour, false);
                break;
            case ControlKind::TextReadout:
                if (auto *label = qobject_cast<QLabel *>(w)) label->setTextFormat(Qt::PlainText);
                break;
            case ControlKind::Graph:
                set_up_graph(c);
                break;
        }
        name_for_automation(window, w);
    }
    for (QLabel *caption : window->findChildren<QLabel *>()) {
        QWidget *buddy = caption->buddy();
        if (qobject_cast<QAbstractSpinBox *>(buddy) || qobject_cast<QLineEdit *>(buddy))
            select_all_on_shortcut(caption);
    }
    if (window->windowTitle().isEmpty()) window->setWindowTitle(QFileInfo(path).completeBaseName());
    present_panel(path, window);
    watch_panel_window(handle, window);
    panels[handle] = std::move(p);
    return handle;
}

}  // namespace userint_internal

// ---- Public interface ----------------------------------------------------------------

int LoadPanel(int parentPanel, const char *fileName, int resourceId) {
    if (!started())
        return load_failure(
            QString::fromLocal8Bit(fileName ? fileName : "(no name)"), UIE_NOT_INITIALISED,
            QStringLiteral("the GUI run-time is not initialised (call InitCVIRTE first)"));
    if (parentPanel != 0 && !find_panel(parentPanel))
        return report("LoadPanel", parentPanel, 0, UIE_BAD_PANEL,
                      QStringLiteral("no parent panel is loaded with this handle"));
    return load_from_file(parentPanel, fileName, resourceId);
}

int DisplayPanel(int panel) {
    Panel *p = find_panel(panel);
    if (!p)
        return report("DisplayPanel", panel, 0, started() ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    p->window->show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        p->window->raise();  // offscreen has no stacking and warns about it
    p->window->activateWindow();
    return 0;
}

int SetPanelTitle(int panel, const char *title) {
    Panel *p = find_panel(panel);
    if (!p)
        return report("SetPanelTitle", panel, 0, started() ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    if (!title)
        return report("SetPanelTitle", panel, 0, UIE_BAD_ARGUMENT,
                      QStringLiteral("the title's address is null"));
    p->window->setWindowTitle(QString::fromUtf8(title));
    return 0;
}

int GetPanelTitle(int panel, char *title, int size) {
    Panel *p = find_panel(panel);
    if (!p)
        return report("GetPanelTitle", panel, 0, started() ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    if (!title || size <= 0)
        return report("GetPanelTitle", panel, 0, UIE_BAD_ARGUMENT,
                      QStringLiteral("no buffer for the title"));
    const QByteArray bytes = p->window->windowTitle().toUtf8();
    int n = std::min<int>(bytes.size(), size - 1);
    while (n > 0 && n < bytes.size() && (bytes[n] & 0xC0) == 0x80) --n;  // whole characters
    std::memcpy(title, bytes.constData(), static_cast<size_t>(n));
    title[n] = '\0';
    return 0;
}

int DiscardPanel(int panel) {
    Panel *p = find_panel(panel);
    if (!p)
        return report("DiscardPanel", panel, 0, started() ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    std::vector<int> children;
    for (const auto &[h, other] : panels)
        if (other->parent == panel) children.push_back(h);
    for (int child : children) DiscardPanel(child);
    QWidget *window = p->window;
    panels.erase(panel);
    drop_events_of(panel);
    if (in_callback()) {
        // A callback of this panel may still be on the stack.
        window->hide();
        window->deleteLater();
    } else {
        delete window;
    }
    return 0;
}
