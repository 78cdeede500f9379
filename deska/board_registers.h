// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement board's register map: its twelve I/O ports at 0x300 and the
// bits and codes in them. deska drives the board through these ports, the
// simulated board (sim/board) and the tests' scripted board (tests/support)
// answer on them, so all three read the map from here.
//
//   +0..+2  8254 timer counters 0, 1, 2: write the count (low, then high byte)
//   +3      8254 control word: bits 7-6 counter, 5-4 access (1 low byte,
//           2 high byte, 3 low then high; 0 latch command), 3-1 mode, 0 BCD
//   +4      read: converter result, low byte; reading it ends the pending result
//   +5      read: status and high byte. Bit 4 (BOARD_NOT_READY) set: no result
//           pending; clear: bits 0-3 are the result's bits 8-11
//   +9      write: gain code 0..BOARD_MAX_GAIN_CODE, an amplification of 2^code
//   +10     write: input channel; BOARD_SIGNAL_CHANNEL is the signal input
//   +11     write: mode; BOARD_MODE_TIMER_PACED starts conversions at the
//           timer's rate, any other value stops them
// Counter 1 is clocked at BOARD_TIMER_CLOCK_HZ and clocks counter 2, whose
// output paces the converter. Other ports of the window are unused.
#pragma once

#include <cstdint>

constexpr unsigned short BOARD_BASE = 0x300;
constexpr unsigned short BOARD_PORT_COUNT = 12;

constexpr unsigned short PORT_COUNTER0 = BOARD_BASE + 0;
constexpr unsigned short PORT_COUNTER1 = BOARD_BASE + 1;
constexpr unsigned short PORT_COUNTER2 = BOARD_BASE + 2;
constexpr unsigned short PORT_TIMER_CTRL = BOARD_BASE + 3;
constexpr unsigned short PORT_DATA_LOW = BOARD_BASE + 4;
constexpr unsigned short PORT_DATA_HIGH = BOARD_BASE + 5;
constexpr unsigned short PORT_GAIN = BOARD_BASE + 9;
constexpr unsigned short PORT_CHANNEL = BOARD_BASE + 10;
constexpr unsigned short PORT_MODE = BOARD_BASE + 11;

constexpr unsigned char BOARD_NOT_READY = 0x10;      // in the high byte: no result yet
constexpr std::uint16_t BOARD_CODE_MASK = 0x0FFF;    // the converter's 12 bits
constexpr int BOARD_CONVERTER_CODES = 4096;          // codes 0..4095 span -5..+5 V
constexpr unsigned char BOARD_MODE_TIMER_PACED = 4;  // converts at the timer's rate from now
constexpr unsigned char BOARD_MAX_GAIN_CODE = 4;     // x16
constexpr unsigned char BOARD_SIGNAL_CHANNEL = 0;
constexpr long BOARD_TIMER_CLOCK_HZ = 2000000;  // clock of counter 1
