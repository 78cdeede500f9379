// SPDX-License-Identifier: GPL-3.0-or-later
// Control identifiers, shared state and functions of the waveform generator program.
//
// The identifiers name the controls of panel 1 in "generator.uir"; every control
// there carries the identifier given here as its `controlId` and this name as its
// objectName, and a test proves the two agree. The globals and functions are
// declared here so that the tests can reach the synthesis and the upload directly.
#pragma once

#include "gpib.h"

// Panel resource and its controls.
enum {
    PANEL = 1,
    PANEL_AMPL = 2,         // amplitude, Vpp (float)
    PANEL_FREQ = 3,         // frequency within the decade (float)
    PANEL_ANGLE = 4,        // angle of the phase cut, degrees (float)
    PANEL_DECADE = 5,       // power of ten applied to PANEL_FREQ (signed char), 6 at the top
    PANEL_BUSY = 7,         // busy lamp (int, 0/1)
    PANEL_GRAPH = 8,        // preview of the table
    PANEL_QUIT = 9,         // quit button, also the close box
    PANEL_IDN = 10,         // asks the instrument to identify itself
    PANEL_STATUS = 11,      // outcome of the last upload, in words (string)
    PANEL_INSTRUMENT = 12,  // opens the dialog that chooses the instrument
};

// The sample table: 20000 bytes seen as bytes (`a`, copied into the block) or as
// 16-bit codes (`b`, written by the synthesis). Entries 0..3599 are one period.
union DTyp {
    char a[20000];
    unsigned short b[10000];
};

extern Addr4882_t IAdress[2];  // instrument address list: {8, NOADDR}, or the chosen GPIB address
extern float Freq;             // output frequency, Hz
extern float Alpha;            // angle of the phase cut, degrees
extern float Um;               // output amplitude, Vpp
extern short delka;            // length of the block header text in `data`, bytes
extern DTyp Data;              // the sample table
extern char data[10000];       // transfer buffer: commands, the block, replies

// Command channel.
void SendCmd(short address, const char *cmd);
void Query(short address, const char *cmd);
void chyby(const char *label);
void idn(short address);

// Waveform table, its upload and the output settings.
void GenSin(float angle, float amplitude);
// Puts the block into `data`: its header, then the table's 3600 entries low
// byte first; `delka` becomes the header's length (the block is delka + 7200 bytes).
void AssembleBlock(void);
void SendBlok(short address, char *buffer, short length);
void SendSin(float frequency, float angle, float amplitude);

// Control callbacks bound by name in "generator.uir".
int Ampl(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Uhel(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Frekv(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int rad(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Graf(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Identify(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Exit(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
int Instrument(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);
