// SPDX-License-Identifier: GPL-3.0-or-later
// InstrumentChoicePopup: the modal dialog in which an operator chooses the
// instrument a program talks to, on a GPIB bus, a LAN or USB.
//
// The dialog knows no driver: it checks what the operator typed (a host, a
// port from 1 to 65535, a USB device file that is still there) and hands the
// checked choice to the program's Test and Use functions, whose answer it
// shows. Input that does not pass is told in the dialog and handed to nobody,
// so it changes nothing. Texts from the program may come from an instrument:
// they are shown as plain text.
#include <glob.h>
#include <sys/stat.h>

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

InstrumentDialogHook dialogHook;
std::string usbDevicePattern = "/dev/usbtmc*";

// The most a Test or Use function may say, bytes.
constexpr int kMessageBytes = 1024;

std::vector<std::string> present_usb_devices() {
    std::vector<std::string> devices;
    glob_t found{};
    if (glob(usbDevicePattern.c_str(), 0, nullptr, &found) == 0)
        for (std::size_t i = 0; i < found.gl_pathc; ++i) devices.emplace_back(found.gl_pathv[i]);
    globfree(&found);
    return devices;
}

void copy_text(char *out, std::size_t size, const std::string &text) {
    std::snprintf(out, size, "%s", text.c_str());
}

// The widgets of the dialog, and the checks of what the operator typed.
struct Dialog {
    QDialog window;
    QRadioButton *gpib, *lan, *usb;
    QSpinBox *address;
    QLineEdit *host, *port;
    QComboBox *device;
    QLabel *outcome;
    InstrumentChoice choice{};

    explicit Dialog(QWidget *owner) : window(owner) {}

    // Shows `text` under the fields; a failure looks as MarkCtrlFailure makes it.
    void tell(const QString &text, bool failure) {
        outcome->setText(text);
        outcome->setStyleSheet(failure ? "color: #a00000;" : "");
        outcome->setAccessibleDescription(failure ? "Failure" : "");
        outcome->setVisible(!text.isEmpty());
    }

    void enable_fields() {
        address->setEnabled(gpib->isChecked());
        host->setEnabled(lan->isChecked());
        port->setEnabled(lan->isChecked());
        device->setEnabled(usb->isChecked() && device->count() > 0);
    }

    // Fills `choice` from the fields; false, after telling the operator why, when
    // they do not name an instrument.
    bool check() {
        InstrumentChoice c = choice;
        if (gpib->isChecked()) {
            c.link = INSTRUMENT_GPIB;
            c.gpibAddress = address->value();
        } else if (lan->isChecked()) {
            c.link = INSTRUMENT_LAN;
            const QString name = host->text().trimmed();
            if (name.isEmpty()) {
                tell("Enter the instrument's host: its name or its IPv4 or IPv6 address.", true);
                return false;
            }
            for (QChar ch : name)
                if (ch.isSpace() || ch.category() == QChar::Other_Control) {
                    tell("The host \"" + name.simplified() +
                             "\" contains a blank or a control character: enter a host name or "
                             "an address.",
                         true);
                    return false;
                }
            const QByteArray hostBytes = name.toUtf8();
            if (hostBytes.size() >= static_cast<int>(sizeof c.host)) {
                tell("The host is longer than " + QString::number(sizeof c.host - 1) +
                         " bytes: enter a host name or an address.",
                     true);
                return false;
            }
            const QString portText = port->text().trimmed();
            bool number = !portText.isEmpty();
            for (QChar ch : portText) number = number && ch >= '0' && ch <= '9';
            if (!number) {
                tell("The port \"" + portText +
                         "\" is not a number: enter a port from 1 to 65535 (an instrument's SCPI "
                         "socket is usually 5025).",
                     true);
                return false;
            }
            const long value = portText.size() > 6 ? 100000 : portText.toLong();
            if (value < 1 || value > 65535) {
                tell("The port " + portText +
                         " is beyond the ports there are: enter a port from 1 to 65535 (an "
                         "instrument's SCPI socket is usually 5025).",
                     true);
                return false;
            }
            copy_text(c.host, sizeof c.host, hostBytes.toStdString());
            c.port = static_cast<int>(value);
        } else {
            c.link = INSTRUMENT_USB;
            if (device->count() == 0) {
                tell("No USB instrument is present (no " +
                         QString::fromStdString(usbDevicePattern) +
                         "): plug it in and switch it on, then open this dialog again.",
                     true);
                return false;
            }
            const std::string file = device->currentText().toStdString();
            struct stat info;
            if (stat(file.c_str(), &info) != 0) {
                tell(QString::fromStdString(file) +
                         " is no longer there: the instrument was unplugged or switched off. "
                         "Plug it in and open this dialog again.",
                     true);
                return false;
            }
            copy_text(c.device, sizeof c.device, file);
        }
        choice = c;
        return true;
    }
};

// Runs the program's Test or Use function on the checked choice; true when it succeeded.
bool act(Dialog &d, InstrumentActionCallback action, const char *successPrefix) {
    if (!d.check()) return false;
    if (action == nullptr) return true;
    d.tell("", false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    show_now(&d.window);
    char message[kMessageBytes] = "";
    const int done = action(&d.choice, message, sizeof message);
    QApplication::restoreOverrideCursor();
    message[sizeof message - 1] = '\0';
    d.tell(
        QString::fromUtf8(successPrefix && done ? successPrefix : "") + QString::fromUtf8(message),
        !done);
    return done != 0;
}

}  // namespace

void userint_internal::set_instrument_dialog_hook(InstrumentDialogHook hook) {
    dialogHook = std::move(hook);
}

void userint_internal::set_usb_device_pattern(const std::string &pattern) {
    usbDevicePattern = pattern.empty() ? std::string("/dev/usbtmc*") : pattern;
}

int InstrumentChoicePopup(const char *title, const char *note, InstrumentChoice *choice,
                          InstrumentActionCallback test, InstrumentActionCallback use) {
    if (choice == nullptr) return UIE_BAD_ARGUMENT;
    if (!started()) {
        std::fprintf(stderr, "InstrumentChoicePopup: no GUI (InitCVIRTE has not succeeded)\n");
        return UIE_NOT_INITIALISED;
    }
    QWidget *owner = QApplication::activeWindow();
    if (!owner) owner = some_visible_panel();
    Dialog d(owner);
    d.choice = *choice;
    d.window.setWindowTitle(QString::fromUtf8(title ? title : "Instrument"));
    d.window.setWindowModality(Qt::ApplicationModal);
    auto *layout = new QVBoxLayout(&d.window);

    if (note != nullptr && note[0] != '\0') {
        auto *noteLabel = new QLabel(QString::fromUtf8(note));
        noteLabel->setTextFormat(Qt::PlainText);
        noteLabel->setWordWrap(true);
        noteLabel->setAccessibleName("Note");
        layout->addWidget(noteLabel);
    }

    auto *links = new QGroupBox("Link");
    auto *linkRow = new QHBoxLayout(links);
    d.gpib = new QRadioButton("&GPIB");
    d.lan = new QRadioButton("&LAN");
    d.usb = new QRadioButton("US&B");
    d.gpib->setAccessibleName("GPIB");
    d.lan->setAccessibleName("LAN");
    d.usb->setAccessibleName("USB");
    auto *group = new QButtonGroup(&d.window);
    for (QRadioButton *b : {d.gpib, d.lan, d.usb}) {
        group->addButton(b);
        linkRow->addWidget(b);
    }
    layout->addWidget(links);

    auto *form = new QFormLayout;
    d.address = new QSpinBox;
    d.address->setRange(0, GPIB_PRIMARY_ADDRESS_MAX);
    d.address->setValue(choice->gpibAddress >= 0 && choice->gpibAddress <= GPIB_PRIMARY_ADDRESS_MAX
                            ? choice->gpibAddress
                            : 0);
    d.host = new QLineEdit(QString::fromUtf8(choice->host));
    d.port = new QLineEdit(QString::number(choice->port > 0 ? choice->port : 5025));
    d.device = new QComboBox;
    const std::vector<std::string> devices = present_usb_devices();
    for (const std::string &file : devices) d.device->addItem(QString::fromStdString(file));
    const int current = d.device->findText(QString::fromUtf8(choice->device));
    if (current >= 0) d.device->setCurrentIndex(current);
    if (devices.empty()) d.device->setPlaceholderText("none present");
    struct Row {
        const char *caption, *name;
        QWidget *field;
    };
    for (const Row &row : {Row{"GPIB board 0, primary &address:", "Primary address", d.address},
                           Row{"&Host:", "Host", d.host}, Row{"&Port:", "Port", d.port},
                           Row{"USB &device:", "USB device", d.device}}) {
        auto *caption = new QLabel(row.caption);
        caption->setBuddy(row.field);
        row.field->setAccessibleName(row.name);
        form->addRow(caption, row.field);
    }
    layout->addLayout(form);

    d.outcome = new QLabel;
    d.outcome->setTextFormat(Qt::PlainText);
    d.outcome->setWordWrap(true);
    d.outcome->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    d.outcome->setAccessibleName("Outcome");
    d.outcome->setMinimumWidth(420);
    d.outcome->setVisible(false);
    layout->addWidget(d.outcome);

    auto *buttons = new QHBoxLayout;
    auto *testButton = new QPushButton("&Test");
    auto *useButton = new QPushButton("&Use");
    auto *cancelButton = new QPushButton("Cancel");
    testButton->setAccessibleName("Test");
    useButton->setAccessibleName("Use");
    cancelButton->setAccessibleName("Cancel");
    // Return in a field must not choose an instrument by accident.
    for (QPushButton *b : {testButton, useButton, cancelButton}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    buttons->addStretch();
    buttons->addWidget(testButton);
    buttons->addWidget(useButton);
    buttons->addWidget(cancelButton);
    layout->addLayout(buttons);

    (choice->link == INSTRUMENT_LAN   ? d.lan
     : choice->link == INSTRUMENT_USB ? d.usb
                                      : d.gpib)
        ->setChecked(true);
    d.enable_fields();
    for (QRadioButton *b : {d.gpib, d.lan, d.usb})
        QObject::connect(b, &QRadioButton::toggled, &d.window, [&d] {
            d.enable_fields();
            d.tell("", false);
        });
    QObject::connect(testButton, &QPushButton::clicked, &d.window,
                     [&d, test] { act(d, test, "The instrument answers: "); });
    QObject::connect(useButton, &QPushButton::clicked, &d.window, [&d, use] {
        if (act(d, use, nullptr)) d.window.accept();
    });
    QObject::connect(cancelButton, &QPushButton::clicked, &d.window, &QDialog::reject);

    if (dialogHook) {
        // A test operates the dialog from inside its event loop; should the test
        // leave it open, it is closed as if cancelled, so that no test hangs.
        QTimer::singleShot(0, &d.window, [&d] {
            dialogHook(&d.window);
            if (d.window.isVisible()) d.window.reject();
        });
    }
    const int accepted = d.window.exec() == QDialog::Accepted;
    if (accepted) *choice = d.choice;
    return accepted;
}
