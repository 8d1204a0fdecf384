"""The running program's remote control, driven as a lab's script would: PyVISA with its
pure-Python backend, and a plain socket from the standard library. Starts the simulator and the
program (offscreen) on a free port, once read-only and once with control allowed.

    remote_clients.py QNLaserControl laser-sim
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77  # ctest's skip code: PyVISA is not installed here


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def expect(got, want, what):
    if got != want:
        fail(f"{what}: got {got!r}, expected {want!r}")
    print(f"ok  {what}: {got!r}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    """The simulator on COM1 of a folder of its own, and the program beside its settings file."""

    def __init__(self, program, sim, control):
        self.dir = tempfile.mkdtemp(prefix="laser-remote-")
        self.port = free_port()
        self.sim_log = os.path.join(self.dir, "sim.log")
        exe = os.path.join(self.dir, "QNLaserControl")
        shutil.copy(program, exe)  # its settings file goes beside it
        with open(os.path.join(self.dir, "QNLaserControl.ini"), "w") as ini:
            ini.write("[General]\nUpdateInterval=200\n")
            ini.write(f"[Remote]\nAllowControl={1 if control else 0}\n")
        self.sim = subprocess.Popen(
            [sim, "--link", os.path.join(self.dir, "COM1"), "--log", self.sim_log],
            stdout=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.exists(os.path.join(self.dir, "COM1")):
            if time.time() > deadline:
                fail("the simulator made no link")
            time.sleep(0.05)
        env = dict(os.environ, LASER_COM_DIR=self.dir, QT_QPA_PLATFORM="offscreen")
        self.program = subprocess.Popen([exe, "/PORT:1", f"/REMOTE:{self.port}"], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or self.program.poll() is not None:
                    fail("the program did not listen")
                time.sleep(0.1)

    def received(self):
        with open(self.sim_log) as log:
            return [line.rstrip("\n").split("\t", 1)[1] for line in log if "\t" in line]

    def stop(self):
        for process in (self.program, self.sim):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                fail("did not end on SIGTERM")
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_ready(ask):
    deadline = time.time() + 20
    while ask("SYST:STAT?") != "READY":
        if time.time() > deadline:
            fail("the laser was never ready")
        time.sleep(0.1)


def open_laser(pyvisa, port):
    """The PyVISA resource of the program's server, once the laser is ready."""
    rm = pyvisa.ResourceManager("@py")
    laser = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                             read_termination="\n", write_termination="\n", timeout=10000)
    wait_ready(laser.query)
    return rm, laser


def read_only(pyvisa, program, sim):
    p = Program(program, sim, control=False)
    try:
        rm, laser = open_laser(pyvisa, p.port)
        idn = laser.query("*IDN?").split(",")
        expect(idn[:3], ["Corvane", "Laser Control", "1234"], "*IDN? (read-only)")
        laser.write("SOURce1:CURRent 20")
        expect(laser.query("SYSTem:ERRor?"),
               '-221,"Settings conflict; remote control not allowed"', "a set, read-only")
        if "w61 20.00" in p.received():
            fail("a refused set reached the laser")
        laser.write("OUTPut OFF")
        expect(laser.query("*OPC?"), "1", "*OPC? after OFF")
        expect(laser.query("SYST:ERR?"), '0,"No error"', "OFF is allowed read-only")
        if "w60 0" not in p.received():
            fail("OFF did not reach the laser")
        laser.close()
        rm.close()
    finally:
        p.stop()


def control(pyvisa, program, sim):
    p = Program(program, sim, control=True)
    try:
        rm, laser = open_laser(pyvisa, p.port)
        laser.write("SOURce1:CURRent 12.5A")
        expect(laser.query("SOURce1:CURRent?"), "12.50", "a current set and read back")
        expect(laser.query("*OPC?"), "1", "*OPC?")
        expect(laser.query("SYSTem:ERRor?"), '0,"No error"', "no error")
        laser.write("SOUR2:FREQ 1.5KHZ")
        expect(laser.query("SOUR2:FREQ?"), "1500.00", "a frequency in kHz")
        laser.write("SOUR1:CURR 5000")
        expect(laser.query("SYST:ERR?"), '-222,"Data out of range"', "a current out of range")
        laser.close()
        rm.close()

        # The same with nothing but the standard library, as the README shows it.
        with socket.create_connection(("127.0.0.1", p.port), timeout=10) as s:
            f = s.makefile("rw", newline="\n")

            def ask(line):
                f.write(line + "\n")
                f.flush()
                return f.readline().strip()

            expect(ask("SOUR1:CURR 7.25;:SOUR1:CURR?"), "7.25", "plain socket: set and read")
            expect(ask("OUTP?"), "0", "plain socket: emission")
        received = p.received()
        for command in ("w61 12.50", "w61 7.25"):
            if command not in received:
                fail(f"{command} did not reach the laser")
    finally:
        p.stop()


def main():
    if len(sys.argv) != 3:
        fail("usage: remote_clients.py QNLaserControl laser-sim")
    try:
        import pyvisa  # noqa: F401
        import pyvisa_py  # noqa: F401
    except ImportError as e:
        print("SKIP: PyVISA with its pure-Python backend is not installed:", e)
        sys.exit(SKIP)
    read_only(pyvisa, sys.argv[1], sys.argv[2])
    control(pyvisa, sys.argv[1], sys.argv[2])
    print("all passed")


if __name__ == "__main__":
    main()
