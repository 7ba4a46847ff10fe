"""End-to-end sessions: the Windows tool under Wine on a private X display.

DTU_WIN_ARCH names the build a test runs: win32, the i686 release under the
32-bit Wine (the default), or win64, its x86-64 twin under wine64.

A Session copies a template Wine prefix, maps the COM ports it is given (and
every other port away from real serial devices), starts its own Xvfb, the tool
in a working directory of its own and the test driver, and cleans up only what
it started.

    python3 harness.py make-template PREFIX   # once per test run
    python3 harness.py remove-template PREFIX
    python3 harness.py capture PREFIX WORKDIR PNG   # screenshot of the form
    python3 harness.py capture-read PREFIX WORKDIR PNG   # ... filled from COM1
    python3 harness.py run SCRIPT [ARGS...]   # a test, or exit 77 saying why it cannot run
    python3 harness.py check-ran JUNIT [--whole]   # after CTest: see check_ran
"""

import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
# Through scripts/mask-serial.sh: no Wine program reaches a real serial port.
WINE32 = os.environ.get("WINE32", os.path.join(ROOT, "scripts", "wine32"))
WINE64 = os.environ.get("WINE64", os.path.join(ROOT, "scripts", "wine64"))
ARCH = os.environ.get("DTU_WIN_ARCH", "win32")
# CTest's SKIP_RETURN_CODE for a test whose build this machine cannot run.
SKIPPED = 77
WINESERVER = os.environ.get("WINESERVER", os.path.join(ROOT, "scripts", "wineserver"))
WINE_PREFIX_SCRIPT = os.path.join(ROOT, "scripts", "wine-prefix.sh")
FORM_CAPTION = "DTU Configuration Tool V2.3"


class DriverError(Exception):
    """The driver answered ERR, or stopped answering."""


def control_ids(header=os.path.join(ROOT, "src", "form", "control_ids.h")):
    """The #define'd identifiers of the form, by name."""
    ids = {}
    with open(header, encoding="ascii") as f:
        for line in f:
            m = re.match(r"\s*#define\s+(ID[CDI]_\w+)\s+(\d+)\b", line)
            if m:
                ids[m.group(1)] = int(m.group(2))
    return ids


def win_dir(arch=ARCH):
    """The folder of a Windows build: DTUConfig.exe, dtucfg.exe, the driver."""
    return os.environ.get("DTU_%s_DIR" % arch.upper(), os.path.join(ROOT, "build", arch))


def wine(arch=ARCH):
    """The Wine that runs a build: scripts/wine32 or scripts/wine64."""
    return WINE32 if arch == "win32" else WINE64


def prefix_arch(prefix):
    """win32 or win64, as Wine made the prefix; ARCH for one not made yet."""
    try:
        with open(os.path.join(prefix, "system.reg"), encoding="latin-1") as f:
            for line in f:
                if line.startswith("#arch="):
                    return line[len("#arch="):].strip()
    except OSError:
        pass
    return ARCH


def cannot_run(arch=ARCH):
    """Why this machine cannot run the build's Wine, or None. Only the
    release is let off: a machine without wine64 fails as it always did."""
    if arch != "win32":
        return None
    try:
        p = subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, check=False)
    except OSError as e:
        return "%s cannot start: %s" % (WINE32, e)
    if p.returncode != 0:
        return "the 32-bit Wine does not run here (%s --version: exit %d: %s)" % (
            WINE32, p.returncode, p.stderr.decode("utf-8", "replace").strip())
    return None


def sim_unit_program():
    """The simulated unit's program, tools/sim_unit.cpp as built natively."""
    return os.environ.get("DTU_SIM_UNIT", os.path.join(ROOT, "build", "native", "dtu_sim_unit"))


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def kill_wineserver(prefix):
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


def map_ports(prefix, ports):
    """Runs the prefix script: named ports to their devices, all others away."""
    args = ["bash", WINE_PREFIX_SCRIPT, "--arch", prefix_arch(prefix), prefix]
    args += ["%s=%s" % (port.upper(), device) for port, device in sorted(ports.items())]
    result = subprocess.run(args, env=wine_env(prefix), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError("wine-prefix.sh failed (%d): %s" % (result.returncode, result.stdout))


def private_prefix(prefix, ports=None, template=None):
    """A prefix of the test's own: the template copied, if there is one, and
    its ports mapped."""
    template = template or os.environ.get("DTU_E2E_TEMPLATE")
    if template and os.path.isfile(os.path.join(template, "system.reg")):
        subprocess.run(["cp", "-a", template, prefix], check=True)
    map_ports(prefix, ports or {})
    return prefix


def make_template(prefix):
    """Boots a prefix once so that each test only copies it."""
    prefix = os.path.abspath(prefix)
    if os.path.exists(prefix):
        kill_wineserver(prefix)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    map_ports(prefix, {})
    kill_wineserver(prefix)


def remove_template(prefix):
    prefix = os.path.abspath(prefix)
    if os.path.isdir(prefix):
        kill_wineserver(prefix)
        shutil.rmtree(prefix)


def start_xvfb():
    """Starts Xvfb on a free display; returns (process, ":N")."""
    read_fd, write_fd = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
         "-noreset"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_fd], [], [], 0.5)
        if ready:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_fd)
    if not number.strip():
        process.kill()
        process.wait()
        raise RuntimeError("Xvfb did not report a display")
    return process, ":" + number.decode().strip()


def _hex(text):
    data = text.encode("utf-8")
    return data.hex() if data else "-"


class Session:
    """One run of the tool with its own prefix, display and working directory.

    ports maps "COM3" to a device path (a pty of a simulated unit). ini, if
    given, is written to the working directory as DTU.ini before the start.
    """

    def __init__(self, ports=None, ini=None, template=None, keep=False, prefix=None,
                 workdir=None):
        # A given prefix and working directory are used as they are and kept.
        self.own_dirs = prefix is None
        self.given_prefix = prefix
        self.given_workdir = workdir
        self.ports = dict(ports or {})
        self.ini = ini
        self.template = template or os.environ.get("DTU_E2E_TEMPLATE")
        self.keep = keep or bool(os.environ.get("DTU_E2E_KEEP"))
        self.root = None
        self.prefix = None
        self.workdir = None
        self.display = None
        self._xvfb = None
        self._exe = None
        self._driver = None
        self.exit_code = None
        self.ids = control_ids()
        self.form = None

    # -- life cycle -------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, find_timeout_ms=30000):
        if self.own_dirs:
            self.root = tempfile.mkdtemp(prefix="dtu-e2e-")
            self.prefix = os.path.join(self.root, "prefix")
            self.workdir = os.path.join(self.root, "work")
            os.makedirs(self.workdir)
            private_prefix(self.prefix, self.ports, self.template)
        else:
            self.prefix = os.path.abspath(self.given_prefix)
            self.workdir = os.path.abspath(self.given_workdir or os.getcwd())
            os.makedirs(self.workdir, exist_ok=True)
        if self.ini is not None:
            self.write_ini(self.ini)
        self._xvfb, self.display = start_xvfb()
        arch = prefix_arch(self.prefix)
        exe = os.path.join(win_dir(arch), "DTUConfig.exe")
        self._exe = subprocess.Popen([wine(arch), exe], cwd=self.workdir,
                                     env=wine_env(self.prefix, self.display),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        driver = os.path.join(win_dir(arch), "dtu_driver.exe")
        self._driver = subprocess.Popen([wine(arch), driver], cwd=self.workdir,
                                        env=wine_env(self.prefix, self.display),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, bufsize=0)
        self._pending = b""
        self.form = self.call("find", find_timeout_ms, timeout=find_timeout_ms / 1000 + 30)

    def stop(self):
        """Ends what this session started, by pid, then its own wineserver."""
        if self._driver is not None:
            try:
                if self._driver.poll() is None:
                    self._driver.stdin.write(b"quit\n")
                    self._driver.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired, ValueError):
                pass
            _end(self._driver)
            self._driver = None
        if self._exe is not None:
            _end(self._exe)
            self._exe = None
        if self.prefix and os.path.isdir(self.prefix):
            kill_wineserver(self.prefix)
        if self._xvfb is not None:
            _end(self._xvfb)
            self._xvfb = None
        if self.root and self.own_dirs and not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def wait_exit(self, timeout=30):
        """Waits for the tool to end; returns its exit code."""
        self.exit_code = self._exe.wait(timeout=timeout)
        return self.exit_code

    def tool_pid(self):
        return self._exe.pid

    def running(self):
        return self._exe is not None and self._exe.poll() is None

    # -- the settings file ------------------------------------------------

    @property
    def ini_path(self):
        return os.path.join(self.workdir, "DTU.ini")

    def write_ini(self, text):
        with open(self.ini_path, "w", encoding="latin-1", newline="\r\n") as f:
            f.write(text)

    def read_ini(self):
        with open(self.ini_path, encoding="latin-1") as f:
            return f.read()

    # -- driver protocol --------------------------------------------------

    def call(self, *words, timeout=30):
        line = " ".join(str(w) for w in words)
        if self._driver is None or self._driver.poll() is not None:
            raise DriverError("driver is not running (%s)" % line)
        self._driver.stdin.write((line + "\n").encode("ascii"))
        answer = self._read_line(line, timeout)
        if answer.startswith("OK "):
            return json.loads(answer[3:])
        if answer.startswith("ERR "):
            raise DriverError("%s: %s" % (line, answer[4:]))
        raise DriverError("%s: unexpected answer %r" % (line, answer))

    def _read_line(self, line, timeout):
        deadline = time.monotonic() + timeout
        fd = self._driver.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                raise DriverError("no answer to %r in %s s" % (line, timeout))
            chunk = os.read(fd, 65536)
            if not chunk:
                raise DriverError("driver ended while answering %r" % line)
            self._pending += chunk
        answer, self._pending = self._pending.split(b"\n", 1)
        return answer.decode("utf-8").rstrip("\r")

    def id(self, control):
        return control if isinstance(control, int) else self.ids[control]

    def caption(self):
        """The form's title."""
        return self.call("caption")

    def text(self, control):
        """An edit's text, a button's caption or a list's visible text."""
        return self.call("text", self.id(control))

    def set_text(self, control, text):
        """Puts text in as the program would (no typing limit)."""
        return self.call("settext", self.id(control), _hex(text))

    def type(self, control, text):
        """Types at the end of the text, as a user would; returns the new text."""
        return self.call("type", self.id(control), _hex(text))

    def items(self, control):
        return self.call("items", self.id(control))

    def selection(self, control):
        return self.call("sel", self.id(control))

    def select(self, control, index):
        return self.call("select", self.id(control), index)

    def enabled(self, control):
        return self.call("enabled", self.id(control))

    def click(self, control):
        """Clicks a button without waiting for its handler; False if it is disabled."""
        return self.call("click", self.id(control))

    def sync(self, timeout_s=10):
        """Waits until the form has handled what was posted to it."""
        return self.call("sync", timeout=timeout_s + 5)

    def boxes(self):
        """Open message boxes: dicts with hwnd, caption, text, owned."""
        return self.call("boxes")

    def wait_box(self, timeout_s=5):
        return self.call("waitbox", int(timeout_s * 1000), timeout=timeout_s + 10)

    def press_ok(self, box, timeout_s=5):
        hwnd = box["hwnd"] if isinstance(box, dict) else box
        return self.call("ok", hwnd, int(timeout_s * 1000), timeout=timeout_s + 10)

    def close(self):
        """Posts WM_CLOSE to the form."""
        return self.call("close")

    def key(self, name):
        """Presses "enter", "esc" or "tab" in the focused control of the form."""
        return self.call("key", name)

    def focus(self, control):
        return self.call("focus", self.id(control))

    def focused(self):
        """Id of the control with the focus, or None."""
        return self.call("focused")

    def alive(self):
        return self.call("alive")

    def set_send_timeout(self, ms):
        return self.call("timeout", ms)

    def rect(self):
        """The form's frame on the screen: left, top, right, bottom."""
        return self.call("rect")

    def screenshot(self, png):
        """Saves the form, cropped to its frame, as a PNG (ImageMagick)."""
        r = self.rect()
        size = "%dx%d+%d+%d" % (r["right"] - r["left"], r["bottom"] - r["top"], r["left"],
                                r["top"])
        self.sync()
        time.sleep(0.5)  # let Wine finish painting
        subprocess.run(["import", "-display", self.display, "-window", "root", "-crop", size,
                        "+repage", png], check=True, stdout=subprocess.DEVNULL)


class SimulatedUnit:
    """The simulated unit's program on a pty of its own, logging and dumping
    its record into a temporary folder. options are its command-line options;
    link, a path it keeps a symbolic link at to its current pty."""

    def __init__(self, *options, link=None):
        self.dir = tempfile.mkdtemp(prefix="dtu-sim-")
        self.dump = os.path.join(self.dir, "record.bin")
        self.log = os.path.join(self.dir, "wire.log")
        self.link = link
        args = [sim_unit_program(), "--dump", self.dump, "--log", self.log, *options]
        if link is not None:
            args += ["--link", link]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.PIPE,
                                        bufsize=0)
        self._pending = b""
        # Empty if it refused its options, as its exit code says.
        self.path = self._answer("its start", 10, ended="")

    def unplug(self, timeout=5):
        """The unit goes away; with link its pty and the link go too."""
        self._command("unplug", "unplugged", timeout)

    def plug(self, timeout=5, again=False):
        """A new unit with the factory record, or again the one unplugged;
        returns its pty's path."""
        self.path = self._command("replug" if again else "plug", None, timeout)
        return self.path

    def _command(self, command, expected, timeout):
        try:
            self.process.stdin.write((command + "\n").encode("ascii"))
        except (BrokenPipeError, ValueError) as e:
            raise RuntimeError("the simulated unit is not running (%s): %s" % (command, e))
        answer = self._answer(command, timeout)
        if answer.startswith("error") or (expected is not None and answer != expected):
            raise RuntimeError("the simulated unit answered %r to %s" % (answer, command))
        return answer

    def _answer(self, what, timeout, ended=None):
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                raise RuntimeError("no answer from the simulated unit to %s in %s s"
                                   % (what, timeout))
            chunk = os.read(fd, 4096)
            if not chunk:
                if ended is not None:
                    return ended
                raise RuntimeError("the simulated unit ended before answering %s" % what)
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode().strip()

    def record(self):
        with open(self.dump, "rb") as f:
            return f.read()

    def _logged(self, direction):
        chunks = []
        if os.path.exists(self.log):
            with open(self.log, encoding="ascii") as f:
                for line in f:
                    # Lines other than in and out mark an unplug or a plug.
                    parts = line.split(" ", 2)
                    if parts[1] == direction:
                        chunks.append(bytes.fromhex(parts[2]))
        return chunks

    def received(self):
        """Every byte the unit has received, in order."""
        return b"".join(self._logged("in"))

    def replies(self):
        """What the unit sent, one entry per answer."""
        return self._logged("out")

    def toggle_silence(self):
        self.process.send_signal(signal.SIGUSR2)
        time.sleep(0.3)

    def stop(self):
        _end(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


def _end(process):
    if process.poll() is None:
        try:
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass


X11_KEY = r"HKCU\Software\Wine\X11 Driver"


def _reg(prefix, *args):
    subprocess.run([wine(prefix_arch(prefix)), "reg"] + list(args), env=wine_env(prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    subprocess.run([WINESERVER, "-w"], env=wine_env(prefix), check=False)


def read_unit(s, timeout_s=20):
    """OPEN, SEARCH and Read on COM1, answering each box with OK."""
    s.select("IDC_PC_COM", 0)
    s.click("IDC_OPEN")
    s.sync()
    for button in ("IDC_SEARCH", "IDC_READ"):
        s.click(button)
        s.press_ok(s.wait_box(timeout_s)[0])
        s.sync()


# Where fonts-wine puts them; this Wine reads only the prefix's Fonts and fontconfig.
WINE_FONTS = "/usr/share/wine/fonts"


def _install_wine_fonts(prefix):
    """Wine draws the caption buttons with its own symbol font: without it they
    come out as the letters "0 1 r"."""
    if not os.path.isdir(WINE_FONTS):
        print(f"harness: {WINE_FONTS} missing (package fonts-wine): caption buttons will be "
              "drawn as letters", file=sys.stderr)
        return
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    for name in os.listdir(WINE_FONTS):
        if not os.path.exists(os.path.join(fonts, name)):
            shutil.copy(os.path.join(WINE_FONTS, name), fonts)


def capture(prefix, workdir, png, read=False):
    """Runs the tool in a prepared prefix on a private display, saves the form
    as png and closes the tool; returns the tool's exit code. With read, the
    form is first filled from the unit on COM1."""
    _install_wine_fonts(prefix)
    # With no window manager, Wine draws the title bar only for windows it
    # does not hand to one; undone afterwards for runs on a real desktop.
    _reg(prefix, "add", X11_KEY, "/v", "Managed", "/d", "N", "/f")
    try:
        with Session(prefix=prefix, workdir=workdir) as s:
            if read:
                read_unit(s)
            s.screenshot(png)
            s.close()
            return s.wait_exit()
    finally:
        _reg(prefix, "delete", X11_KEY, "/v", "Managed", "/f")


def skip_reason():
    """The line a test of a build this machine cannot run prints, or None."""
    why = cannot_run()
    return None if why is None else "SKIPPED: the %s build cannot run here: %s" % (ARCH, why)


def run_test(script, args):
    reason = skip_reason()
    if reason:
        print(reason, flush=True)
        return SKIPPED
    # The test takes this process's place, so that CTest's timeout ends it.
    os.execv(sys.executable, [sys.executable, script, *args])


def runs_32bit_code(folder):
    """Whether the kernel here runs i386 code, whatever is installed: a
    program of nine bytes of code that only exits, made here byte by byte."""
    base = 0x08048000
    code = bytes([0x31, 0xDB, 0xB8, 1, 0, 0, 0, 0xCD, 0x80])  # exit(0) through int 0x80
    size = 52 + 32 + len(code)
    elf = (struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01", 2, 3, 1, base + 84, 52, 0,
                       0, 52, 32, 1, 0, 0, 0)
           + struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000) + code)
    path = os.path.join(folder, "i386-exit")
    with open(path, "wb") as f:
        f.write(elf)
    os.chmod(path, 0o755)
    try:
        return subprocess.run([path], check=False, timeout=30).returncode == 0
    except OSError:
        return False
    finally:
        os.remove(path)


def check_ran(junit, whole):
    """After CTest: prints every i686 test skipped, with its reason, and fails
    if any was skipped on a machine whose kernel runs 32-bit code (where the
    32-bit Wine belongs installed), or if a whole run had none."""
    release = [case for case in ElementTree.parse(junit).getroot().iter("testcase")
               if case.get("name", "").endswith("_win32")]
    skipped = [case for case in release if case.find("skipped") is not None]
    for case in skipped:
        lines = (case.findtext("system-out") or "").splitlines()
        said = [line for line in lines if line.startswith("SKIPPED")]
        print("*** %s %s" % (case.get("name"), said[0] if said else "SKIPPED, saying nothing"))
    if skipped and runs_32bit_code(os.path.dirname(os.path.abspath(junit))):
        print("*** %d i686 test(s) skipped, yet this machine runs 32-bit code: the 32-bit Wine "
              "(scripts/deps.sh) belongs here" % len(skipped))
        return 1
    if whole and not release:
        print("*** no i686 test was run")
        return 1
    if release:
        print("i686 release: %d test(s) ran, %d skipped" % (len(release) - len(skipped),
                                                            len(skipped)))
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] in ("capture", "capture-read"):
        return capture(argv[2], argv[3], argv[4], read=argv[1] == "capture-read")
    if len(argv) >= 3 and argv[1] == "run":
        return run_test(argv[2], argv[3:])
    if len(argv) in (3, 4) and argv[1] == "check-ran" and argv[3:] in ([], ["--whole"]):
        return check_ran(argv[2], whole=argv[3:] == ["--whole"])
    if len(argv) == 3 and argv[1] == "make-template":
        reason = skip_reason()
        if reason:
            print(reason)
            return SKIPPED
        make_template(argv[2])
        return 0
    if len(argv) == 3 and argv[1] == "remove-template":
        remove_template(argv[2])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
