// SPDX-License-Identifier: GPL-3.0-or-later
// deska: control identifiers of the panel in "deska.uir" and the program's functions.
//
// The identifiers here and the controlId properties in deska.uir must agree: the
// program addresses every control by these numbers (the tests check each one).
#pragma once

enum {
    PANEL = 1,           // resource id of the one panel in deska.uir
    PANEL_GRAPH = 2,     // graph of the last capture, volts at the board's input against ms
    PANEL_BUSY = 3,      // lamp: lit while a measurement runs
    PANEL_RUN = 4,       // button: one measurement
    PANEL_QUIT = 5,      // button: ends the program
    PANEL_FREQ = 6,      // sampling frequency, kHz (float)
    PANEL_GAIN = 7,      // ring of gain codes 0..4 (amplification 2^code)
    PANEL_UF = 8,        // RMS of the capture at the converter, V ("%f" text)
    PANEL_UF_INPUT = 9,  // the same RMS referred to the board's input (divided by 2^gain), V
    PANEL_STATUS = 10,   // outcome of the last run in words: samples lost, stopped (string)
    // Measurements of the last capture at the board's input ("%f" texts, V; Hz with six
    // significant digits or "none").
    PANEL_MEAN = 11,
    PANEL_AC_RMS = 12,
    PANEL_MINIMUM = 13,
    PANEL_MAXIMUM = 14,
    PANEL_PEAK_TO_PEAK = 15,
    PANEL_SIGNAL_FREQ = 16,
    PANEL_REPEAT = 21,         // check box: Run captures again and again until Stop (int 0/1)
    PANEL_TRIGGER = 22,        // ring: 0 free run, 1 rising edge, 2 falling edge
    PANEL_TRIGGER_LEVEL = 23,  // trigger level, V at the board's input (double)
};

// The figures of a capture at the board's input: volts, and Hz (0 when none was found).
struct Measurements {
    double mean_v, ac_rms_v, minimum_v, maximum_v, peak_to_peak_v, frequency_hz;
};

// Panel callbacks, bound by name from deska.uir.
int konec(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int work(int panel, int event, void *callbackData, int eventData1, int eventData2);
int freq(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int graph(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int ring(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int run(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Programs the board for one capture at f kHz; shows the realised frequency.
int activation(float f);
// Collects 1000 samples into Pole; 0 when all came, -1 when the board stopped answering,
// -2 when the operator stopped the capture (RequestBackgroundStop).
int read_data(void);
// Shows the RMS value of Pole at the converter and at the board's input.
int Uf_hodnota(void);
// Measures Pole at gain code `gain`, sampled at `rate_khz`; costs one pass over it and a
// second for the AC RMS.
void measure_capture(unsigned char gain, double rate_khz, Measurements *m);
// Console prompt "Stiskni ENTER"; returns the character read. No panel operation calls it.
char keypress(void);
