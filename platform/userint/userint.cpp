// SPDX-License-Identifier: GPL-3.0-or-later
// The GUI run-time on Qt Widgets: start-up, panels, controls, commit events,
// values, the event loop and popups (graphs are in graph.cpp).
//
// A panel is a Qt Designer form built with QUiLoader after panel_file.cpp has
// checked it. The numeric, button and text-input widgets are built as small
// subclasses that turn the operator's committing actions into one commit each
// (Return, leaving the field after an edit, a step of the arrows or the wheel,
// a click), which plain Qt signals cannot tell apart from typing. Callbacks run
// synchronously on the main thread, one at a time: an event that arrives while
// a callback runs (e.g. the window losing focus to a popup) waits until the
// callback has returned.
#include "userint.h"

#include <QApplication>
#include <QBuffer>
#include <QChartView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QUiLoader>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "display_probe.h"
#include "panel_file.h"
#include "userint_internal.h"
#include "userint_testing.h"

#ifndef LABBENCH_DATADIR
#define LABBENCH_DATADIR "/usr/local/share/labbench"
#endif

using namespace userint_internal;

namespace {

// ---- Callback table ------------------------------------------------------------

std::vector<CallbackEntry> &callbackTable() {
    static std::vector<CallbackEntry> table;
    return table;
}

CtrlCallbackPtr controlCallbackNamed(const QString &name) {
    const QByteArray key = name.toUtf8();
    for (const CallbackEntry &e : callbackTable())
        if (e.control && key == e.name) return e.control;
    return nullptr;
}

PanelCallbackPtr panelCallbackNamed(const QString &name) {
    const QByteArray key = name.toUtf8();
    for (const CallbackEntry &e : callbackTable())
        if (e.panel && key == e.name) return e.panel;
    return nullptr;
}

// ---- Run-time state ------------------------------------------------------------

QApplication *application = nullptr;
std::map<int, std::unique_ptr<Panel>> panels;

struct PendingEvent {
    int panel;
    int control;  // 0: the panel callback
    int event;
};
int callbackDepth = 0;
std::deque<PendingEvent> pendingEvents;

std::vector<QEventLoop *> runningLoops;
bool quitRequested = false;
int quitCode = 0;

std::function<void()> loopScript;
std::vector<userint_testing::Popup> popupLog;
std::function<void(const userint_testing::Popup &)> popupAnswer;

// Qt's vectorised drawing code can return with the upper halves of the AVX
// registers still in use. Until they are cleared, the SSE arithmetic of the
// programs' own code waits on them at every instruction: the generator's 3600
// sines took 20 times as long right after a graph redraw. Run-time calls that
// draw, and every callback, clear them before program code runs.
void clearVectorUpperState() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) __asm__ volatile("vzeroupper");
#endif
}

struct CallbackScope {
    CallbackScope() {
        ++callbackDepth;
        clearVectorUpperState();
    }
    ~CallbackScope() { --callbackDepth; }
};

void deliver(const PendingEvent &e) {
    Panel *p = findPanel(e.panel);
    if (!p) return;
    if (e.control == 0) {
        if (p->callback) {
            CallbackScope scope;
            p->callback(e.panel, e.event, nullptr, 0, 0);
        }
        return;
    }
    const auto it = p->controls.find(e.control);
    if (it == p->controls.end() || !it->second.callback) return;
    CallbackScope scope;
    it->second.callback(e.panel, e.control, e.event, nullptr, 0, 0);
}

// Queues the event and, unless a callback is running, delivers everything
// queued. Events left when the program has asked to quit are dropped: the
// loop ends after the current callback, as the program expects.
void dispatch(int panel, int control, int event) {
    pendingEvents.push_back({panel, control, event});
    if (callbackDepth > 0) return;
    while (!pendingEvents.empty()) {
        if (quitRequested && !runningLoops.empty()) {
            pendingEvents.clear();
            return;
        }
        const PendingEvent e = pendingEvents.front();
        pendingEvents.pop_front();
        deliver(e);
    }
}

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
bool leavesField(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::MouseFocusReason || reason == Qt::ShortcutFocusReason;
}

bool isEnterKey(const QKeyEvent *e) {
    return e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
}

template <class Base>
class CommitSpinBox : public Base, public CommitSource {
public:
    explicit CommitSpinBox(QWidget *parent) : Base(parent) {
        QObject::connect(this->lineEdit(), &QLineEdit::textEdited, this, [this] { edited = true; });
    }
    void forgetEdit() { edited = false; }

protected:
    // Arrow keys, PageUp/PageDown, the arrow buttons and the wheel all step.
    void stepBy(int steps) override {
        const auto before = this->value();
        const bool hadEdit = edited;
        Base::stepBy(steps);
        edited = false;
        if (hadEdit || this->value() != before) commit();
    }
    void keyPressEvent(QKeyEvent *e) override {
        if (isEnterKey(e)) {
            Base::keyPressEvent(e);  // takes the typed text as the value
            edited = false;
            if (!e->isAutoRepeat()) commit();
            return;
        }
        Base::keyPressEvent(e);
    }
    void focusOutEvent(QFocusEvent *e) override {
        Base::focusOutEvent(e);
        if (edited && leavesField(e->reason())) {
            edited = false;
            commit();
        }
    }

private:
    bool edited = false;
};

class CommitButton : public QPushButton, public CommitSource {
public:
    explicit CommitButton(QWidget *parent) : QPushButton(parent) {
        connect(this, &QPushButton::clicked, this, [this] { commit(); });
    }

protected:
    // Return presses the button as Space does, also outside dialogs.
    void keyPressEvent(QKeyEvent *e) override {
        if (isEnterKey(e) && e->modifiers() == Qt::NoModifier) {
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
    void forgetEdit() { edited = false; }

protected:
    void keyPressEvent(QKeyEvent *e) override {
        QLineEdit::keyPressEvent(e);
        if (isEnterKey(e) && !isReadOnly() && !e->isAutoRepeat()) {
            edited = false;
            commit();
        }
    }
    void focusOutEvent(QFocusEvent *e) override {
        QLineEdit::focusOutEvent(e);
        if (edited && leavesField(e->reason())) {
            edited = false;
            commit();
        }
    }

private:
    bool edited = false;
};

class PanelBuilder : public QUiLoader {
public:
    PanelBuilder() {
        clearPluginPaths();  // a panel never needs Designer plugins
        setTranslationEnabled(false);
    }
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        QWidget *w;
        if (className == QLatin1String("QChartView"))
            w = new QChartView(parent);
        else if (className == QLatin1String("QDoubleSpinBox"))
            w = new CommitSpinBox<QDoubleSpinBox>(parent);
        else if (className == QLatin1String("QSpinBox"))
            w = new CommitSpinBox<QSpinBox>(parent);
        else if (className == QLatin1String("QPushButton"))
            w = new CommitButton(parent);
        else if (className == QLatin1String("QLineEdit"))
            w = new CommitLineEdit(parent);
        else
            return QUiLoader::createWidget(className, parent, name);
        w->setObjectName(name);
        return w;
    }
};

// ---- Panel window: focus and close box ---------------------------------------

class PanelWatcher : public QObject {
public:
    PanelWatcher(int handle, QObject *parent) : QObject(parent), handle(handle) {}

protected:
    bool eventFilter(QObject *watched, QEvent *e) override {
        if (watched != parent()) return false;
        switch (e->type()) {
            case QEvent::WindowActivate:
                dispatch(handle, 0, EVENT_GOT_FOCUS);
                break;
            case QEvent::WindowDeactivate:
                dispatch(handle, 0, EVENT_LOST_FOCUS);
                break;
            case QEvent::Close: {
                // The close box never closes the panel by itself: the program
                // decides, through its panel callback or its close control.
                e->ignore();
                const Panel *p = findPanel(handle);
                const int closeControl = p ? p->closeControlId : 0;
                dispatch(handle, 0, EVENT_CLOSE);
                if (closeControl) dispatch(handle, closeControl, EVENT_COMMIT);
                return true;
            }
            default:
                break;
        }
        return false;
    }

private:
    int handle;
};

// ---- Lamps ----------------------------------------------------------------------

const char *const kLampValue = "lampValue";

void paintLamp(QLabel *lamp, const QString &onColour, bool lit) {
    const QColor on(onColour.isEmpty() ? QStringLiteral("#ff2020") : onColour);
    const QColor shown = lit ? on : on.darker(400);
    lamp->setProperty(kLampValue, lit ? 1 : 0);
    lamp->setStyleSheet(
        QStringLiteral(
            "QLabel { background-color: %1; border: 1px solid #202020; border-radius: 4px; }")
            .arg(shown.name()));
    lamp->setAccessibleDescription(lit ? QStringLiteral("on") : QStringLiteral("off"));
}

// ---- Loading ---------------------------------------------------------------------

QString cleanLabel(QString text) {
    text.replace(QLatin1String("&&"), QLatin1String("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text.simplified();
}

void nameForAutomation(QWidget *panel, QWidget *control) {
    if (!control->accessibleName().isEmpty()) return;
    for (QLabel *label : panel->findChildren<QLabel *>())
        if (label->buddy() == control && !label->text().isEmpty()) {
            control->setAccessibleName(cleanLabel(label->text()));
            return;
        }
    if (auto *button = qobject_cast<QPushButton *>(control); button && !button->text().isEmpty()) {
        control->setAccessibleName(cleanLabel(button->text()));
        return;
    }
    control->setAccessibleName(control->objectName());
}

const QStringList &buildableWidgetClasses() {
    static const QStringList classes = [] {
        PanelBuilder builder;
        QStringList c = builder.availableWidgets();
        c << QStringLiteral("Line") << QStringLiteral("QChartView");
        return c;
    }();
    return classes;
}

const QStringList &buildableLayoutClasses() {
    static const QStringList classes = PanelBuilder().availableLayouts();
    return classes;
}

int lowestFreeHandle() {
    int h = 1;
    while (panels.count(h)) ++h;
    return h;
}

// Text for a one-line message: control characters (a newline in a file name
// or in a panel file) become '?'.
QByteArray oneLine(const QString &text) {
    QString s = text;
    for (QChar &c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
    return s.toLocal8Bit();
}

int loadFailure(const QString &file, int code, const QString &cause) {
    std::fprintf(stderr, "LoadPanel: %s: %s\n", oneLine(file).constData(),
                 oneLine(cause).constData());
    return code;
}

// Builds and binds the panel described by `content`, read from `path`.
int buildPanel(const QString &path, const QByteArray &content, int parentPanel, int resourceId) {
    const PanelRules rules{[](const QString &n) { return controlCallbackNamed(n) != nullptr; },
                           [](const QString &n) { return panelCallbackNamed(n) != nullptr; },
                           buildableWidgetClasses(), buildableLayoutClasses()};
    auto checked = readPanelFile(content, resourceId, rules);
    if (auto *e = std::get_if<PanelFileError>(&checked))
        return loadFailure(path, e->code, e->cause);
    const PanelSpec &spec = std::get<PanelSpec>(checked);

    // The builder reports problems through qWarning; collect them so the
    // operator gets one line naming the file.
    static QStringList builderWarnings;
    builderWarnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
            builderWarnings << msg.simplified();
        });
    PanelBuilder builder;
    builder.setWorkingDirectory(QFileInfo(path).absoluteDir());
    QByteArray bytes = content;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QWidget *window = builder.load(&buffer, nullptr);
    qInstallMessageHandler(previous);

    auto refuse = [&](int code, const QString &cause) {
        delete window;
        return loadFailure(path, code, cause);
    };
    if (!window) {
        QString why = builder.errorString();
        if (why.isEmpty() && !builderWarnings.isEmpty()) why = builderWarnings.first();
        return refuse(UIE_BAD_FORM,
                      QStringLiteral("Qt could not build the form: %1").arg(why.left(200)));
    }
    for (const QString &w : builderWarnings)
        std::fprintf(stderr, "LoadPanel: %s: warning: %s\n", oneLine(path).constData(),
                     oneLine(w.left(200)).constData());

    auto p = std::make_unique<Panel>();
    p->handle = lowestFreeHandle();
    p->parent = parentPanel;
    p->path = path;
    p->window = window;
    p->callback = spec.panelCallback.isEmpty() ? nullptr : panelCallbackNamed(spec.panelCallback);
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
        if (auto *spin = qobject_cast<QSpinBox *>(w)) {
            const int lo = cs.valueType == ValueType::UChar   ? 0
                           : cs.valueType == ValueType::SChar ? -128
                                                              : INT_MIN;
            const int hi = cs.valueType == ValueType::UChar   ? 255
                           : cs.valueType == ValueType::SChar ? 127
                                                              : INT_MAX;
            if (spin->minimum() < lo || spin->maximum() > hi)
                return refuse(
                    UIE_KIND_MISMATCH,
                    QStringLiteral(
                        "control '%1' (%2) has the range %3 to %4, which a %5 cannot hold")
                        .arg(cs.objectName)
                        .arg(cs.id)
                        .arg(spin->minimum())
                        .arg(spin->maximum())
                        .arg(QLatin1String(valueTypeName(cs.valueType))));
        }
        Control &c = p->controls[cs.id];
        c.spec = cs;
        c.widget = w;
        c.callback = cs.callback.isEmpty() ? nullptr : controlCallbackNamed(cs.callback);
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
                [[fallthrough]];
            case ControlKind::Button:
            case ControlKind::TextInput:
                if (auto *source = dynamic_cast<CommitSource *>(w)) source->onCommit = commit;
                break;
            case ControlKind::Ring:
                QObject::connect(static_cast<QComboBox *>(w), &QComboBox::activated, w, commit);
                break;
            case ControlKind::Lamp:
                static_cast<QLabel *>(w)->setText(QString());
                paintLamp(static_cast<QLabel *>(w), c.spec.onColour, false);
                break;
            case ControlKind::TextReadout:
                if (auto *label = qobject_cast<QLabel *>(w)) label->setTextFormat(Qt::PlainText);
                break;
            case ControlKind::Graph:
                setUpGraph(c);
                break;
        }
        nameForAutomation(window, w);
    }
    if (window->windowTitle().isEmpty()) window->setWindowTitle(QFileInfo(path).completeBaseName());
    window->installEventFilter(new PanelWatcher(handle, window));
    panels[handle] = std::move(p);
    return handle;
}

QString resolvePanelPath(const QString &name, QString &notFound) {
    if (name.contains(QLatin1Char('/'))) return name;
    // The data folder beside an installed program (<prefix>/bin/../share/labbench) comes
    // before the one compiled in, so that an install moved to another prefix, or
    // unpacked into a scratch root, still finds its own panel files.
    const QString programFolder = QCoreApplication::applicationDirPath();
    QStringList folders{programFolder,
                        QDir::cleanPath(programFolder + QStringLiteral("/../share/labbench")),
                        QStringLiteral(LABBENCH_DATADIR)};
    folders.removeDuplicates();
    for (const QString &folder : folders) {
        const QString candidate = folder + QLatin1Char('/') + name;
        if (QFileInfo::exists(candidate)) return candidate;
    }
    notFound = QStringLiteral("not found in the program's folder %1 nor in %2")
                   .arg(folders[0], folders.mid(1).join(QStringLiteral(" nor in ")));
    return QString();
}

int loadFromFile(int parentPanel, const char *fileName, int resourceId) {
    const QString name = fileName ? QString::fromLocal8Bit(fileName) : QString();
    if (name.isEmpty())
        return loadFailure(QStringLiteral("(no name)"), UIE_FILE_NOT_FOUND,
                           QStringLiteral("no panel file name given"));
    QString notFound;
    const QString path = resolvePanelPath(name, notFound);
    if (path.isEmpty()) return loadFailure(name, UIE_FILE_NOT_FOUND, notFound);
    const QFileInfo info(path);
    if (!info.exists())
        return loadFailure(path, UIE_FILE_NOT_FOUND, QStringLiteral("no such file"));
    if (!info.isFile())
        return loadFailure(path, UIE_FILE_NOT_FOUND, QStringLiteral("not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return loadFailure(path, UIE_FILE_NOT_FOUND,
                           QStringLiteral("cannot be read: %1").arg(file.errorString()));
    const QByteArray content = file.read(kMaxPanelFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return loadFailure(path, UIE_FILE_NOT_FOUND,
                           QStringLiteral("cannot be read: %1").arg(file.errorString()));
    return buildPanel(path, content, parentPanel, resourceId);
}

std::string commandLinePlatform(char *argv[]) {
    std::string platform;
    for (int i = 0; argv && argv[i]; ++i)
        if ((!std::strcmp(argv[i], "-platform") || !std::strcmp(argv[i], "--platform")) &&
            argv[i + 1])
            platform = argv[i + 1];
    return platform;
}

// ---- Values ----------------------------------------------------------------------

bool holdsNumber(const Control &c) {
    return c.spec.kind == ControlKind::Numeric || c.spec.kind == ControlKind::Ring ||
           c.spec.kind == ControlKind::Lamp;
}

double numericValue(const Control &c) {
    QWidget *w = c.widget;
    if (auto *d = qobject_cast<QDoubleSpinBox *>(w)) return d->value();
    if (auto *s = qobject_cast<QSpinBox *>(w)) return s->value();
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        const int i = combo->currentIndex();
        return i >= 0 && i < static_cast<int>(c.spec.itemValues.size()) ? c.spec.itemValues[i] : 0;
    }
    return w->property(kLampValue).toInt();
}

template <class T>
int getNumber(int panel, int control, T *out, ValueType type) {
    int error;
    Control *c = findControl("GetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!out)
        return report("GetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the variable's address is null"));
    if (c->spec.valueType != type)
        return report(
            "GetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
            QStringLiteral("the %1 holds a %2 value, the variable is a %3; nothing was written")
                .arg(QLatin1String(controlKindName(c->spec.kind)),
                     QLatin1String(valueTypeName(c->spec.valueType)),
                     QLatin1String(valueTypeName(type))));
    *out = static_cast<T>(numericValue(*c));
    return 0;
}

// Every numeric value of the program's reaches a numeric control: the value
// is converted as C converts it (toward zero for whole numbers) and kept
// within the control's range.
int setNumber(int panel, int control, double value, const char *typeName) {
    int error;
    Control *c = findControl("SetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!holdsNumber(*c))
        return report(
            "SetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
            QStringLiteral("the %1 value cannot go to a %2")
                .arg(QLatin1String(typeName), QLatin1String(controlKindName(c->spec.kind))));
    if (std::isnan(value))
        return report("SetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the value is not a number (NaN)"));
    QWidget *w = c->widget;
    if (auto *d = qobject_cast<QDoubleSpinBox *>(w)) {
        d->setValue(std::clamp(value, d->minimum(), d->maximum()));
        if (auto *field = dynamic_cast<CommitSpinBox<QDoubleSpinBox> *>(d)) field->forgetEdit();
    } else if (auto *s = qobject_cast<QSpinBox *>(w)) {
        s->setValue(static_cast<int>(
            std::trunc(std::clamp(value, double(s->minimum()), double(s->maximum())))));
        if (auto *field = dynamic_cast<CommitSpinBox<QSpinBox> *>(s)) field->forgetEdit();
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
    } else {
        paintLamp(static_cast<QLabel *>(w), c->spec.onColour, value != 0);
    }
    showNow(w);
    return 0;
}

}  // namespace

// ---- Internal interface -----------------------------------------------------------

namespace userint_internal {

Panel *findPanel(int handle) {
    const auto it = panels.find(handle);
    return it == panels.end() || !it->second->window ? nullptr : it->second.get();
}

int report(const char *operation, int panel, int control, int code, const QString &detail) {
    if (control)
        std::fprintf(stderr, "%s(panel %d, control %d): %s\n", operation, panel, control,
                     oneLine(detail).constData());
    else
        std::fprintf(stderr, "%s(panel %d): %s\n", operation, panel, oneLine(detail).constData());
    return code;
}

Control *findControl(const char *operation, int panel, int control, int *error) {
    if (!application) {
        *error = report(operation, panel, control, UIE_NOT_INITIALISED,
                        QStringLiteral("the GUI run-time is not initialised (InitCVIRTE)"));
        return nullptr;
    }
    Panel *p = findPanel(panel);
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

void showNow(QWidget *widget) {
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
    clearVectorUpperState();
}

}  // namespace userint_internal

// ---- Public interface ----------------------------------------------------------------

CallbackRegistration::CallbackRegistration(std::initializer_list<CallbackEntry> entries) {
    for (const CallbackEntry &e : entries) {
        for (const CallbackEntry &known : callbackTable())
            if (!std::strcmp(known.name, e.name) &&
                ((e.control && known.control && e.control != known.control) ||
                 (e.panel && known.panel && e.panel != known.panel)))
                std::fprintf(stderr,
                             "CallbackRegistration: callback '%s' is registered twice with "
                             "different functions; "
                             "panels bind the first\n",
                             e.name);
        callbackTable().push_back(e);
    }
}

int InitCVIRTE(void *, char *argv[], void *) {
    if (application) return 1;
    if (QCoreApplication::instance()) {
        application = qobject_cast<QApplication *>(QCoreApplication::instance());
        if (!application) {
            std::fprintf(stderr,
                         "InitCVIRTE: the GUI cannot start: the process already has a non-GUI Qt "
                         "application\n");
            return 0;
        }
        QApplication::setQuitOnLastWindowClosed(false);
        return 1;
    }
    const DisplayChoice choice = probeDisplay(commandLinePlatform(argv));
    if (!choice.usable) {
        std::fprintf(stderr, "InitCVIRTE: the GUI cannot start: %s\n", choice.reason.c_str());
        return 0;
    }
    // The application object keeps argc and argv for its lifetime, so they
    // live in static storage; "-platform" makes Qt use the probed platform.
    static std::vector<std::string> args;
    static std::vector<char *> argPointers;
    static int argc = 0;
    args.clear();
    for (int i = 0; argv && argv[i]; ++i) args.emplace_back(argv[i]);
    if (args.empty()) args.emplace_back("labbench");
    args.emplace_back("-platform");
    args.push_back(choice.platform);
    for (std::string &a : args) argPointers.push_back(a.data());
    argPointers.push_back(nullptr);
    argc = static_cast<int>(args.size());
    application = new QApplication(argc, argPointers.data());
    releaseDisplayProbe();
    QApplication::setQuitOnLastWindowClosed(false);
    return 1;
}

int LoadPanel(int parentPanel, const char *fileName, int resourceId) {
    if (!application)
        return loadFailure(
            QString::fromLocal8Bit(fileName ? fileName : "(no name)"), UIE_NOT_INITIALISED,
            QStringLiteral("the GUI run-time is not initialised (call InitCVIRTE first)"));
    if (parentPanel != 0 && !findPanel(parentPanel))
        return report("LoadPanel", parentPanel, 0, UIE_BAD_PANEL,
                      QStringLiteral("no parent panel is loaded with this handle"));
    return loadFromFile(parentPanel, fileName, resourceId);
}

int DisplayPanel(int panel) {
    Panel *p = findPanel(panel);
    if (!p)
        return report("DisplayPanel", panel, 0, application ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    p->window->show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        p->window->raise();  // offscreen has no stacking and warns about it
    p->window->activateWindow();
    return 0;
}

int DiscardPanel(int panel) {
    Panel *p = findPanel(panel);
    if (!p)
        return report("DiscardPanel", panel, 0, application ? UIE_BAD_PANEL : UIE_NOT_INITIALISED,
                      QStringLiteral("no panel is loaded with this handle"));
    std::vector<int> children;
    for (const auto &[h, other] : panels)
        if (other->parent == panel) children.push_back(h);
    for (int child : children) DiscardPanel(child);
    QWidget *window = p->window;
    panels.erase(panel);
    std::erase_if(pendingEvents, [panel](const PendingEvent &e) { return e.panel == panel; });
    if (callbackDepth > 0) {
        // A callback of this panel may still be on the stack.
        window->hide();
        window->deleteLater();
    } else {
        delete window;
    }
    return 0;
}

int RunUserInterface(void) {
    if (!application)
        return report("RunUserInterface", 0, 0, UIE_NOT_INITIALISED,
                      QStringLiteral("the GUI run-time is not initialised (InitCVIRTE)"));
    if (quitRequested && runningLoops.empty()) {
        quitRequested = false;
        return quitCode;
    }
    QEventLoop loop;
    runningLoops.push_back(&loop);
    if (loopScript) {
        QTimer::singleShot(0, &loop, [script = std::move(loopScript)] {
            QCoreApplication::processEvents();
            script();
            if (!quitRequested) {
                std::fprintf(stderr,
                             "runInEventLoop: the script returned without ending the event loop; "
                             "ending it\n");
                QuitUserInterface(0);
            }
        });
        loopScript = nullptr;
    }
    loop.exec();
    runningLoops.pop_back();
    quitRequested = false;
    pendingEvents.clear();
    return quitCode;
}

int QuitUserInterface(int returnCode) {
    quitCode = returnCode;
    quitRequested = true;
    if (!runningLoops.empty()) runningLoops.back()->exit(returnCode);
    return 0;
}

// ---- Values --------------------------------------------------------------------------

int GetCtrlVal(int panel, int control, float *value) {
    return getNumber(panel, control, value, ValueType::Float);
}
int GetCtrlVal(int panel, int control, double *value) {
    return getNumber(panel, control, value, ValueType::Double);
}
int GetCtrlVal(int panel, int control, int *value) {
    return getNumber(panel, control, value, ValueType::Int);
}
int GetCtrlVal(int panel, int control, unsigned char *value) {
    return getNumber(panel, control, value, ValueType::UChar);
}
int GetCtrlVal(int panel, int control, signed char *value) {
    return getNumber(panel, control, value, ValueType::SChar);
}

int GetCtrlVal(int panel, int control, char *buffer) {
    int error;
    Control *c = findControl("GetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!buffer)
        return report("GetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the buffer's address is null"));
    if (c->spec.valueType != ValueType::String)
        return report("GetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
                      QStringLiteral("the %1 holds a %2 value, not a string; nothing was written")
                          .arg(QLatin1String(controlKindName(c->spec.kind)),
                               QLatin1String(valueTypeName(c->spec.valueType))));
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
    return setNumber(panel, control, value, "float");
}
int SetCtrlVal(int panel, int control, double value) {
    return setNumber(panel, control, value, "double");
}
int SetCtrlVal(int panel, int control, int value) {
    return setNumber(panel, control, value, "int");
}
int SetCtrlVal(int panel, int control, unsigned char value) {
    return setNumber(panel, control, value, "uchar");
}
int SetCtrlVal(int panel, int control, signed char value) {
    return setNumber(panel, control, value, "schar");
}

int SetCtrlVal(int panel, int control, const char *text) {
    int error;
    Control *c = findControl("SetCtrlVal", panel, control, &error);
    if (!c) return error;
    if (!text)
        return report("SetCtrlVal", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the text's address is null"));
    if (c->spec.valueType != ValueType::String)
        return report("SetCtrlVal", panel, control, UIE_TYPE_MISMATCH,
                      QStringLiteral("a text cannot go to a %1 holding a %2 value")
                          .arg(QLatin1String(controlKindName(c->spec.kind)),
                               QLatin1String(valueTypeName(c->spec.valueType))));
    const QString value = QString::fromUtf8(text);
    if (auto *label = qobject_cast<QLabel *>(c->widget))
        label->setText(value);
    else if (auto *edit = qobject_cast<QLineEdit *>(c->widget)) {
        edit->setText(value);
        if (auto *input = dynamic_cast<CommitLineEdit *>(edit)) input->forgetEdit();
    }
    showNow(c->widget);
    return 0;
}

// ---- Popups ----------------------------------------------------------------------------

int MessagePopup(const char *title, const char *message) {
    const userint_testing::Popup popup{title ? title : "", message ? message : ""};
    popupLog.push_back(popup);
    if (popupAnswer) {
        popupAnswer(popup);
        return 0;
    }
    if (!application) {
        std::fprintf(stderr, "MessagePopup: no GUI (InitCVIRTE has not succeeded): %s: %s\n",
                     popup.title.c_str(), popup.message.c_str());
        return UIE_NOT_INITIALISED;
    }
    QWidget *owner = QApplication::activeWindow();
    if (!owner)
        for (const auto &[h, p] : panels)
            if (p->window && p->window->isVisible()) {
                owner = p->window;
                break;
            }
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(popup.title.c_str()),
                    QString::fromUtf8(popup.message.c_str()), QMessageBox::Ok, owner);
    // Texts may come from an instrument: show them as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return 0;
}

// ---- Sanitizer builds ---------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define LABBENCH_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LABBENCH_LEAK_CHECKED 1
#endif
#endif
#ifdef LABBENCH_LEAK_CHECKED
// The font set that Qt loads through fontconfig stays allocated for the whole
// process; the leak checker would report it at exit of every GUI program.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

// ---- Test access --------------------------------------------------------------------------

namespace userint_testing {

void runInEventLoop(std::function<void()> script) { loopScript = std::move(script); }

QWidget *panelWidget(int panel) {
    Panel *p = findPanel(panel);
    return p ? p->window.data() : nullptr;
}

QWidget *controlWidget(int panel, int control) {
    Panel *p = findPanel(panel);
    if (!p) return nullptr;
    const auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : it->second.widget.data();
}

const std::vector<Popup> &popups() { return popupLog; }
void clearPopups() { popupLog.clear(); }
void answerPopupsWith(std::function<void(const Popup &)> answer) {
    popupAnswer = std::move(answer);
}

int loadPanelFromMemory(const std::string &content, const char *name, int resourceId) {
    if (!application)
        return loadFailure(QString::fromUtf8(name), UIE_NOT_INITIALISED,
                           QStringLiteral("the GUI run-time is not initialised"));
    return buildPanel(QString::fromUtf8(name), QByteArray::fromStdString(content), 0, resourceId);
}

}  // namespace userint_testing
