#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# pyvisa (Debian's python3-pyvisa with the pure-Python python3-pyvisa-py
# backend), an instrument-control client written by others, drives
# labbench-sim-instrument on 127.0.0.1 as it would drive a LAN instrument:
# identification, a setting read back, the error queue, and a waveform
# uploaded as a binary block that the instrument accepts and outputs.
#   pyvisa_client_test.py <path of labbench-sim-instrument>
import os
import subprocess
import sys
import tempfile
import unittest

import pyvisa

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else "labbench-sim-instrument"


def read_state(path):
    """The state file's settings as a dict, and the points as a list."""
    settings, points = {}, []
    with open(path, encoding="ascii") as state:
        lines = state.read().splitlines()
    for i, line in enumerate(lines):
        key, _, value = line.partition(" ")
        settings[key] = value
        if key == "points" and int(value) > 0:
            points = [int(code) for code in lines[i + 1].split()]
            break
    return settings, points


class PyvisaClient(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.state = os.path.join(self.folder.name, "bench.state")
        environment = dict(os.environ, BENCH_SIM_STATE=self.state)
        environment.pop("GPIB_SIM_BYTES_PER_S", None)
        self.server = subprocess.Popen(
            [PROGRAM, "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment, text=True)
        line = self.server.stdout.readline()
        self.assertIn("listening on 127.0.0.1:", line)
        self.port = int(line.rsplit(":", 1)[1])
        self.manager = pyvisa.ResourceManager("@py")
        self.instrument = self.manager.open_resource(
            f"TCPIP::127.0.0.1::{self.port}::SOCKET",
            read_termination="\n", write_termination="\n", timeout=5000)

    def tearDown(self):
        self.instrument.close()
        self.manager.close()
        self.server.terminate()
        self.assertEqual(self.server.wait(timeout=10), 0)
        self.server.stdout.close()
        self.folder.cleanup()

    def test_identification_frequency_and_error_queue(self):
        self.assertEqual(self.instrument.query("*IDN?"), "LabBench,SimWave 3600,SIM0001,1.0")
        self.instrument.write("FREQ 2500.5")
        self.assertEqual(float(self.instrument.query("FREQ?")), 2500.5)
        self.assertEqual(self.instrument.query("SYST:ERR?"), '+0,"No error"')
        self.instrument.write("FREQ 99e9")
        self.assertEqual(self.instrument.query("SYST:ERR?"), '-222,"Data out of range"')
        self.assertEqual(float(self.instrument.query("FREQ?")), 2500.5)

    def test_uploads_a_block_that_the_instrument_outputs(self):
        codes = [0, 10, 266, -10, 2047, -2047, 522, 1000] * 4  # newline bytes inside the block
        self.instrument.write("FORM:BORD SWAP")
        self.instrument.write_binary_values("DATA:DAC VOLATILE,", codes, datatype="h",
                                            is_big_endian=False)
        self.instrument.write("FUNC:USER VOLATILE;:FUNC:SHAP USER")
        self.assertEqual(self.instrument.query("SYST:ERR?"), '+0,"No error"')
        settings, points = read_state(self.state)
        self.assertEqual(settings["function"], "USER")
        self.assertEqual(points, codes)


if __name__ == "__main__":
    unittest.main()
