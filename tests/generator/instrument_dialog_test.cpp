// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the instrument in generator's window, as an operator does: Alt+S
// opens the "Instrument…" dialog, the fields are typed into and the buttons
// clicked. Test shows the instrument's identity; Use keeps the choice in
// instruments.conf (a temporary XDG_CONFIG_HOME here), binds the driver
// library the link needs, moves the one-controller lock and uploads the
// panel's settings to the new instrument; input that names no instrument is
// refused in the dialog and changes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "bench_state.h"
#include "generator_harness.h"
#include "generator_ui.h"
#include "panel_operator.h"
#include "socket_instrument_process.h"
#include "userint_testing.h"

namespace {

using simtest::ScopedEnv;

// The dialog's widget of class W whose accessible name is `name`.
template <class W>
W *field(QWidget *dialog, const char *name) {
    for (W *w : dialog->findChildren<W *>())
        if (w->accessibleName() == QString::fromUtf8(name)) return w;
    ADD_FAILURE() << "the dialog has no " << W::staticMetaObject.className() << " named " << name;
    return nullptr;
}

std::string outcome(QWidget *dialog) {
    QLabel *label = field<QLabel>(dialog, "Outcome");
    return label ? label->text().toStdString() : std::string();
}

// Clicks a button; a radio button on its circle, as its row is wider than its text.
void clickIn(QWidget *dialog, const char *name) {
    QWidget *w = field<QWidget>(dialog, name);
    if (qobject_cast<QRadioButton *>(w))
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(6, w->height() / 2));
    else if (w)
        panel_operator::click(w);
}

// Types `text` over the whole of a line field, as an operator replaces its text.
void typeOver(QWidget *dialog, const char *name, const QString &text) {
    QLineEdit *edit = field<QLineEdit>(dialog, name);
    if (!edit) return;
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

// Opens the dialog from the panel with its Alt shortcut; `operate` runs inside it.
void openInstrumentDialog(std::function<void(QWidget *)> operate) {
    bool opened = false;
    userint_testing::operate_instrument_dialog_with([&](QWidget *dialog) {
        opened = true;
        EXPECT_EQ(dialog->windowTitle().toStdString(), "Instrument");
        operate(dialog);
    });
    QWidget *button = control(PANEL_INSTRUMENT);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->accessibleName().toStdString(), "Instrument\u2026");
    panel_operator::activate(PANEL);
    QWidget *focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : userint_testing::panel_widget(PANEL), Qt::Key_S,
                    Qt::AltModifier);
    // A button's shortcut clicks it as the mouse does, the release 100 ms later.
    for (int i = 0; i < 500 && !opened; i++) QTest::qWait(10);
    userint_testing::operate_instrument_dialog_with(nullptr);
    EXPECT_TRUE(opened) << "Alt+S did not open the instrument dialog";
}

std::string title() { return userint_testing::panel_widget(PANEL)->windowTitle().toStdString(); }

// A temporary configuration folder, with no instrument named in the environment.
struct ChoosingTheInstrument : ::testing::Test {
    simtest::TempDir dir;
    std::string state = dir.file("bench.state");
    std::string config = dir.file("config");
    std::string conf = config + "/labbench/instruments.conf";
    ScopedEnv stateFile{"BENCH_SIM_STATE", state};
    ScopedEnv configHome{"XDG_CONFIG_HOME", config};
    ScopedEnv noMapping{"LABBENCH_INSTRUMENT_8", nullptr};
    ScopedEnv timeout{"LABBENCH_IO_TIMEOUT_MS", "2000"};
};

// Started with no instrument chosen (the Linux GPIB library, absent here or
// without a board), the operator chooses the socket instrument on the loopback
// address: Test shows its identity, Use uploads to it and the window names it.
TEST_F(ChoosingTheInstrument, TheSocketInstrumentIsTestedChosenAndGetsTheUpload) {
    simtest::SocketInstrumentProcess instrument(GENERATOR_SOCKET_INSTRUMENT);
    ScopedEnv noLibrary("GPIB_LIBRARY", nullptr);
    testRuntimeDir();
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    int exitCode = panel_operator::runProgram(generator_main, "generator", [&] {
        QuitAtExit quit;
        openInstrumentDialog([&](QWidget *dialog) {
            clickIn(dialog, "LAN");
            typeOver(dialog, "Host", "127.0.0.1");
            typeOver(dialog, "Port", QString::fromStdString(instrument.port()));
            clickIn(dialog, "Test");
            EXPECT_EQ(outcome(dialog), "The instrument answers: LabBench,SimWave 3600,SIM0001,1.0");
            EXPECT_FALSE(std::filesystem::exists(conf)) << "Test kept the choice";
            clickIn(dialog, "Use");
            EXPECT_FALSE(dialog->isVisible()) << "Use left the dialog open: " << outcome(dialog);
        });
        EXPECT_EQ(title(), "Waveform generator \u2014 " + instrument.resource());
        EXPECT_EQ(statusLine(),
                  "Instrument chosen: " + instrument.resource() +
                      " \u2014 Sent all 6 transfers: 10000 Hz, 4.5 Vpp, angle 0\u00b0");
        benchsim::BenchOutput out;
        std::string error;
        ASSERT_TRUE(benchsim::read_bench_state(state, out, error)) << error;
        EXPECT_EQ(out.function, "USER");
        EXPECT_EQ(out.frequency_hz, 10000.0);
        EXPECT_EQ(out.points.size(), 3600u);
        EXPECT_NE(simtest::file_text(conf).find("\n8 = " + instrument.resource() + "\n"),
                  std::string::npos)
            << simtest::file_text(conf);

        // The lock now guards the socket instrument, held by this process.
        bool locked = false;
        for (const auto &entry : std::filesystem::directory_iterator(testRuntimeDir()))
            locked = locked || simtest::file_text(entry.path().string()) ==
                                   std::to_string(getpid()) + "\n" + instrument.resource() + "\n";
        EXPECT_TRUE(locked) << "no lock file in " << testRuntimeDir() << " names "
                            << instrument.resource();

        // A commit after the choice goes to the socket instrument too.
        typeValue(PANEL_AMPL, 2.5, 3);
        ASSERT_TRUE(benchsim::read_bench_state(state, out, error)) << error;
        EXPECT_NEAR(out.amplitude_vpp, 2.5, 1e-6);
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(instrument.stop(SIGTERM), 0);
}

// With GPIB_LIBRARY set, every choice goes through that library, and the dialog
// says so: here a GPIB choice of another primary address on the recording
// driver, which then gets the start-up sequence and the upload at that address.
TEST_F(ChoosingTheInstrument, AGpibAddressIsChosenThroughTheLibraryGpibLibraryNames) {
    int exitCode = runGenerator([&] {
        const size_t before = bus().size();
        openInstrumentDialog([&](QWidget *dialog) {
            QLabel *note = field<QLabel>(dialog, "Note");
            ASSERT_NE(note, nullptr);
            EXPECT_NE(note->text().toStdString().find(
                          std::string("GPIB_LIBRARY is set, so every choice is reached through "
                                      "its driver library ") +
                          RECORDING_GPIB_PATH),
                      std::string::npos)
                << note->text().toStdString();
            EXPECT_TRUE(field<QRadioButton>(dialog, "GPIB")->isChecked());
            QSpinBox *address = field<QSpinBox>(dialog, "Primary address");
            ASSERT_NE(address, nullptr);
            EXPECT_EQ(address->value(), 8);
            panel_operator::typeInto(address, "5");
            clickIn(dialog, "Use");
            EXPECT_FALSE(dialog->isVisible()) << outcome(dialog);
        });
        EXPECT_EQ(title(), "Waveform generator \u2014 GPIB address 5");
        std::vector<BusCall> calls(bus().calls().begin() + before, bus().calls().end());
        ASSERT_GE(calls.size(), 4u);
        EXPECT_EQ(calls[0].routine, "EnableLocal");
        EXPECT_EQ(calls[0].addresses, std::vector<int>{8}) << "the instrument before goes local";
        EXPECT_EQ(calls[1].routine, "SendIFC");
        EXPECT_EQ(calls[2].routine, "EnableRemote");
        EXPECT_EQ(calls[2].addresses, std::vector<int>{5});
        std::vector<BusCall> sends;
        for (const BusCall &c : calls)
            if (c.routine == "Send") sends.push_back(c);
        ASSERT_EQ(sends.size(), 7u);
        for (const BusCall &c : sends) EXPECT_EQ(c.address, 5) << c.bytes.substr(0, 20);
        EXPECT_EQ(sends[0].bytes, "freq 10000.000000");
        EXPECT_NE(simtest::file_text(conf).find("\n8 = GPIB0::5::INSTR\n"), std::string::npos)
            << simtest::file_text(conf);
        EXPECT_EQ(statusLine(),
                  "Instrument chosen: GPIB address 5 \u2014 Sent all 6 transfers: "
                  "10000 Hz, 4.5 Vpp, angle 0\u00b0");
    });
    EXPECT_EQ(exitCode, 0);
}

struct RefusalCase {
    const char *name;
    const char *link;  // the radio button chosen
    const char *host, *port;
    const char *expected;  // in the dialog's message
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class InstrumentDialogRefusal : public ChoosingTheInstrument,
                                public ::testing::WithParamInterface<RefusalCase> {};

// Input that names no instrument is told in the dialog, for Test and for Use
// alike, and changes nothing: no file, no bus traffic, the same title.
TEST_P(InstrumentDialogRefusal, IsToldInTheDialogAndChangesNothing) {
    const RefusalCase &c = GetParam();
    const std::string devices = dir.file("dev");
    std::filesystem::create_directories(devices);
    const std::string device = devices + "/usbtmc0";
    std::ofstream(device) << "";
    userint_testing::list_usb_devices_from(devices + "/usbtmc*");
    int exitCode = runGenerator([&] {
        const std::string titleBefore = title(), statusBefore = statusLine();
        const size_t before = bus().size();
        openInstrumentDialog([&](QWidget *dialog) {
            clickIn(dialog, c.link);
            if (c.host) typeOver(dialog, "Host", QString::fromUtf8(c.host));
            if (c.port) typeOver(dialog, "Port", QString::fromUtf8(c.port));
            // The device goes away after the dialog listed it.
            if (std::string(c.link) == "USB") {
                QComboBox *list = field<QComboBox>(dialog, "USB device");
                ASSERT_NE(list, nullptr);
                EXPECT_EQ(list->currentText().toStdString(), device);
                std::filesystem::remove(device);
            }
            for (const char *button : {"Test", "Use"}) {
                clickIn(dialog, button);
                EXPECT_NE(outcome(dialog).find(c.expected), std::string::npos)
                    << button << ": " << outcome(dialog);
                EXPECT_EQ(field<QLabel>(dialog, "Outcome")->accessibleDescription(), "Failure");
                EXPECT_TRUE(dialog->isVisible()) << button << " closed the dialog";
            }
        });
        EXPECT_EQ(bus().size(), before) << "refused input reached the bus";
        EXPECT_FALSE(std::filesystem::exists(conf));
        EXPECT_EQ(title(), titleBefore);
        EXPECT_EQ(statusLine(), statusBefore);
    });
    userint_testing::list_usb_devices_from("");
    EXPECT_EQ(exitCode, 0);
}

const RefusalCase refusalCases[] = {
    {"EmptyHost", "LAN", "  ", "5025", "Enter the instrument's host"},
    {"PortNotANumber", "LAN", "127.0.0.1", "50x5", "The port \"50x5\" is not a number"},
    {"PortBeyond65535", "LAN", "127.0.0.1", "65536", "The port 65536 is beyond the ports"},
    {"PortZero", "LAN", "127.0.0.1", "0", "enter a port from 1 to 65535"},
    {"HostWithAQuote", "LAN", "bench\"1", "5025", "has a host with the character '\"'"},
    {"DeviceThatVanished", "USB", nullptr, nullptr, "usbtmc0 is no longer there"},
};
INSTANTIATE_TEST_SUITE_P(BadInput, InstrumentDialogRefusal, ::testing::ValuesIn(refusalCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
