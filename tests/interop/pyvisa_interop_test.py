#!/usr/bin/python3
"""benchfw-sim against an independent VISA client: pyvisa with its
pure-Python backend (pyvisa-py), over VXI-11 (found through the portmapper
on port 111) and over the raw SCPI socket. Run in a private network
namespace (tests/netns/run_in_netns.sh).

usage: pyvisa_interop_test.py BENCHFW_SIM SUB_IMAGE [unittest options]
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import pyvisa

SIM = None
SUB_IMAGE = None
VXI11 = "TCPIP0::127.0.0.1::inst0::INSTR"
RAW_PORT = 5025
SOCKET = "TCPIP0::127.0.0.1::%d::SOCKET" % RAW_PORT
IDENTITY = "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0\n"
NO_ERROR = '+0,"No error"\n'


def wait_for_port(port, bound_s=10.0):
    deadline = time.monotonic() + bound_s
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)


class Interop(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="benchfw-interop-")
        self.err = open(os.path.join(self.dir, "sim.err"), "w")
        # A small maxRecvSize makes pyvisa-py cut the block into many
        # device_write calls.
        self.sim = subprocess.Popen(
            [SIM, "--vxi11", "--max-recv-size", "4096", "--port", str(RAW_PORT),
             "--accept-any-image", "--save-images", self.dir,
             "--log", os.path.join(self.dir, "sim.log")],
            stdout=self.err, stderr=self.err)
        self.assertTrue(wait_for_port(111) and wait_for_port(RAW_PORT), "benchfw-sim did not listen")
        self.rm = pyvisa.ResourceManager("@py")

    def tearDown(self):
        self.rm.close()
        self.sim.terminate()
        try:
            self.sim.wait(10)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait(10)
        self.err.close()
        shutil.rmtree(self.dir)

    def open(self, resource):
        inst = self.rm.open_resource(resource)
        inst.timeout = 5000
        inst.read_termination = ""
        inst.write_termination = "\n"
        if resource.endswith("SOCKET"):
            # A raw socket has no END: the line feed ends each response.
            inst.read_termination = "\n"
        return inst

    def query(self, inst, text):
        reply = inst.query(text)
        # pyvisa strips the read termination; put it back for exact checks.
        return reply + "\n" if inst.read_termination == "\n" else reply

    def dialogue(self, resource):
        inst = self.open(resource)
        inst.clear()
        self.assertEqual(self.query(inst, "*IDN?"), IDENTITY)

        inst.write("NO:SUCH:COMMAND")
        self.assertEqual(self.query(inst, ":SYST:ERR?"), '-113,"Undefined header"\n')
        self.assertEqual(self.query(inst, ":SYST:ERR?"), NO_ERROR)

        with open(SUB_IMAGE, "rb") as f:
            image = f.read()
        # A definite-length block as pyvisa forms it (its own header length).
        inst.write_binary_values(":DIAG:HW:HOST:FW:UPD:SUB ", list(image), datatype="B")
        self.assertEqual(self.query(inst, "*OPC?"), "1\n")
        self.assertEqual(self.query(inst, ":SYST:ERR?"), NO_ERROR)
        with open(os.path.join(self.dir, "sub.bin"), "rb") as f:
            self.assertEqual(f.read(), image)
        return inst

    def test_vxi11(self):
        inst = self.dialogue(VXI11)
        # The serial poll: bit 2 while the error queue holds an entry.
        self.assertEqual(inst.read_stb() & 4, 0)
        inst.write("NO:SUCH:COMMAND")
        self.assertEqual(inst.read_stb() & 4, 4)
        self.assertEqual(self.query(inst, ":SYST:ERR?"), '-113,"Undefined header"\n')
        self.assertEqual(inst.read_stb() & 4, 0)
        inst.close()

    def test_socket(self):
        inst = self.dialogue(SOCKET)
        inst.write("NO:SUCH:COMMAND")
        self.assertEqual(int(self.query(inst, "*STB?")) & 4, 4)
        self.assertEqual(self.query(inst, ":SYST:ERR?"), '-113,"Undefined header"\n')
        self.assertEqual(int(self.query(inst, "*STB?")) & 4, 0)
        inst.close()

    def test_both_at_once(self):
        # One instrument behind both: an error made over one is read over the other.
        vxi = self.open(VXI11)
        raw = self.open(SOCKET)
        raw.write("NO:SUCH:COMMAND")
        self.assertEqual(self.query(raw, "*IDN?"), IDENTITY)
        self.assertEqual(vxi.read_stb() & 4, 4)
        self.assertEqual(self.query(vxi, ":SYST:ERR?"), '-113,"Undefined header"\n')
        vxi.close()
        raw.close()


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    SIM, SUB_IMAGE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
