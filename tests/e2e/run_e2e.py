#!/usr/bin/env python3
"""End-to-end scenarios of the launcher, driven from outside as a player would.

The launcher binary (built for fixed local ports) is copied into a fresh install folder with the
update script, started under the X display given by xvfb-run, pointed at tools/stack (nginx CDN and
kv-sink) and driven with xdotool. Every click first checks that the pixel under the pointer has the
colour the target widget paints, so a moved widget fails loudly instead of receiving a stray click.
Observations: the event sink, the install folder, the stub game's argument record, screenshots.

    run_e2e.py --make-release ...          make the sample release every scenario copies
    run_e2e.py --scenario NAME ...         run one scenario (see SCENARIOS at the end)
"""
import argparse
import atexit
import configparser
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

CRASH_PORT = 8329  # fixed in the launcher's crash-upload URL

# Window geometry: fixed 1300 x 731, everything below in window coordinates, taken from the form's
# layout at that size. Each target names the colours its widget paints at the probe point.
WINDOW_W, WINDOW_H = 1300, 731
CLOSE_BTN = (1278, 22)          # title bar: three 44 x 44 image buttons at the right end
CLOSE_PROBE = (1259, 22)        # inside the close button, left of its icon
MINIMIZE_BTN = (1234, 22)
MINIMIZE_PROBE = (1215, 22)
START_BTN = (1101, 633)         # main button of the game page, (950, 593)-(1252, 671)
START_PROBE = (1101, 664)       # inner shape, below the caption
DOWNLOAD_BTN = (911, 638)       # pause / continue button, (890, 617)-(932, 659)
DOWNLOAD_PROBE = (894, 640)     # face, left of the icon
DOWNLOAD_ICON = (899, 626, 923, 650)
INFO_TEXT = (22, 596, 500, 621)       # gameSrcDownloadInfo (percentage line)
TIME_TEXT = (700, 596, 880, 621)      # estimateTimeInfo, right end of the same row
SPEED_TEXT = (22, 661, 500, 685)      # downloadingSpeedInfo, below the bar
LAUNCHER_TEXT = (150, 560, 1150, 640)  # launcherDownloadInfo on the launcher page
DIM_PROBE = (100, 300)                 # background, outside any dialog
# Exit confirmation, 640 x 380, in its own coordinates.
CONFIRM_SIZE = (640, 380)
CONFIRM_FACE_PROBE = (40, 60)
CONFIRM_BTN = (468, 310)              # CONFIRM, (353, 280)-(583, 340)
CONFIRM_BTN_PROBE = (360, 310)         # white face left of the caption (the heavy "C" starts at 366)
# Crash dialog, 500 x 300, in its own coordinates (platform-styled widgets).
CRASH_SIZE = (500, 300)
CRASH_EDIT = (250, 170)               # description edit, (10, 98)-(490, 214), white base
CRASH_SEND = (362, 271)               # SEND LOG, (272, 254)-(451, 288), default button
CRASH_SEND_PROBE = (272, 271)         # its default-button frame

HOVER_TITLE = "#5e2888"
START_NORMAL, START_HOVER, START_DISABLED = "#0fcc00", "#6fe066", "#586399"
DOWNLOAD_FACE, DOWNLOAD_FACE_HOVER = "#bf56f1", "#d99af7"
CONFIRM_FACE = "#6f2d98"
CONFIRM_WHITE = "#ffffff"
EDIT_BASE = "#ffffff"
DEFAULT_BUTTON_FRAME = "#26709e"

GCLID = "e2e7f3a"
# The version file and its signature: the suite's releases are signed.
VERSION_FILES = {"version3.txt", "version3.txt.minisig"}
# Asked for a second after the game is ready: the next release's list, when one is published.
COMING_FILES = {"version3.txt.coming", "version3.txt.coming.minisig"}
# Asked for before either signature name: the copy named by the digest of the list fetched.
DIGEST_NAMED = re.compile(r"^version3\.txt(\.coming)?\.[0-9a-f]{64}\.minisig$")
# What a start may fetch before any download: the files already on the disk are compared with them.
INDEX_SUFFIXES = (".zipindex", ".blockmap")
INSTALLER_NAME = "QuelvaneSetup_gc%slid.exe" % GCLID


class Fail(Exception):
    pass


def log(msg):
    print("[%7.2f] %s" % (time.monotonic() - T0, msg), flush=True)


T0 = time.monotonic()
XVFB = None  # the private X server of --xvfb


def md5_file(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def parse_rgb(text):
    text = text.lstrip("#")
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


def hex_rgb(rgb):
    return "#%02x%02x%02x" % tuple(rgb) if rgb else "unknown"


def port_busy(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(what, predicate, timeout, interval=0.1):
    """Polls predicate until it returns a true value; fails with `what` after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Fail("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def never(what, predicate, timeout, interval=0.2):
    """For something that must not happen: polls predicate for timeout seconds and fails with `what`
    as soon as it returns a true value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            raise Fail(what)
        time.sleep(interval)


class Screen:
    """One screenshot of the whole X screen (binary PPM from ImageMagick's import)."""

    def __init__(self, data):
        if not data.startswith(b"P6"):
            raise Fail("import returned no PPM image")
        fields, pos = [], 2
        while len(fields) < 3:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos) + 1
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(int(data[pos:end]))
            pos = end
        self.width, self.height, maxval = fields
        if maxval != 255:
            raise Fail("unexpected PPM depth %d" % maxval)
        self.pixels = data[pos + 1:]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def count(self, rect, predicate):
        x0, y0, x1, y1 = rect
        n = 0
        for y in range(y0, y1):
            row = (y * self.width) * 3
            for x in range(x0, x1):
                i = row + x * 3
                if predicate(self.pixels[i], self.pixels[i + 1], self.pixels[i + 2]):
                    n += 1
        return n


def near(rgb, target, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(rgb, target))


def whitish(r, g, b):
    return r > 225 and g > 225 and b > 225


class Window:
    def __init__(self, wid, x, y, w, h):
        self.wid, self.x, self.y, self.w, self.h = wid, x, y, w, h

    def __repr__(self):
        return "window %s %dx%d+%d+%d" % (self.wid, self.w, self.h, self.x, self.y)


class Xvfb:
    """A private X server; Xvfb picks a free display number itself (-displayfd), so parallel
    X servers of other test runs cannot collide with it."""

    def __init__(self):
        r, w = os.pipe()
        self.output = tempfile.TemporaryFile()
        # -noreset: the harness's own clients (xdotool, import) come and go all the time, and a
        # server that resets whenever the last one leaves rebuilds its keyboard under a client
        # connecting just then.
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1600x1000x24",
                                      "-nolisten", "tcp", "-noreset"], pass_fds=(w,), stdin=subprocess.DEVNULL,
                                     stdout=self.output, stderr=subprocess.STDOUT)
        os.close(w)
        number = b""
        deadline = time.monotonic() + 20
        os.set_blocking(r, False)
        while not number.endswith(b"\n") and time.monotonic() < deadline and self.proc.poll() is None:
            try:
                chunk = os.read(r, 16)
            except BlockingIOError:
                time.sleep(0.05)
                continue
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip().isdigit():
            self.stop()
            raise Fail("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        # Clients start only once the server answers one.
        env = dict(os.environ, DISPLAY=self.display)
        try:
            wait_for("the X server %s to answer" % self.display,
                     lambda: self.proc.poll() is not None or subprocess.run(
                         ["xdotool", "getdisplaygeometry"], env=env, capture_output=True, timeout=20).returncode == 0,
                     20, 0.1)
        except Fail:
            self.stop()
            raise
        if self.proc.poll() is not None:
            raise Fail("Xvfb ended at its start: %s" % self.state())

    def state(self):
        self.output.seek(0)
        tail = self.output.read().decode(errors="replace").strip().splitlines()[-5:]
        return "%s, output: %s" % ("running" if self.proc.poll() is None else "ended with %s" % self.proc.returncode,
                                   " / ".join(tail))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Harness:
    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.work = os.path.join(args.work, name)
        self.install = os.path.join(self.work, "install")
        self.cdn = os.path.join(self.work, "cdn")
        self.stack = os.path.join(self.work, "stack")
        self.home = os.path.join(self.work, "home")
        self.shots = os.path.join(self.work, "screens")
        self.release = os.path.join(args.work, "release")
        self.procs = []
        self.logs = []
        self.stack_running = False
        self.shot_no = 0
        self.env = self.launcher_env()

    # -- set-up and tear-down -------------------------------------------------------------------

    def launcher_env(self):
        env = dict(os.environ)
        for k in list(env):
            if k.lower() in ("http_proxy", "https_proxy", "all_proxy", "no_proxy") or k.startswith("KV_FAKEGAME_"):
                del env[k]
        env["HOME"] = self.home
        env["XDG_CONFIG_HOME"] = os.path.join(self.home, ".config")
        env["QT_QPA_PLATFORM"] = "xcb"
        env["LANG"] = env["LC_ALL"] = "C.UTF-8"
        # Only the fonts a player has, also when run by hand outside CTest.
        env["FONTCONFIG_FILE"] = os.path.join(self.args.source, "tests", "support", "fonts.conf")
        env.pop("QT_SCALE_FACTOR", None)
        env["QT_AUTO_SCREEN_SCALE_FACTOR"] = "0"
        env["QT_LOGGING_RULES"] = "*.debug=true;qt.*.debug=false"
        return env

    def prepare(self, launcher=None, settings=None, fakegame=None, registry=True):
        if not os.environ.get("DISPLAY"):
            raise Fail("no X display: run under xvfb-run -a")
        if not os.path.isdir(os.path.join(self.release, "cdn")):
            raise Fail("no sample release in %s: run the e2e_release test first" % self.release)
        shutil.rmtree(self.work, ignore_errors=True)
        for d in (self.install, self.home, self.shots):
            os.makedirs(d)
        shutil.copytree(os.path.join(self.release, "cdn"), self.cdn)
        shutil.copy2(launcher or self.args.launcher, os.path.join(self.install, "Kestrivane"))
        shutil.copy2(os.path.join(self.args.source, "packaging", "update.sh"), os.path.join(self.install, "update.sh"))
        values = {"auto_launch": 0, "language": 1, "popup_on_exit": 1, "close_game_action": 1, "popup_on_crash": 1}
        values.update(settings or {})
        self.write_settings(values)
        self.write_fakegame(fakegame or {})
        if registry:
            reg = os.path.join(self.home, ".config", "Quelvane", "registry.ini")
            os.makedirs(os.path.dirname(reg))
            with open(reg, "w") as f:
                f.write("[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\nFilename=%s\n" % INSTALLER_NAME)

    def write_settings(self, values):
        with open(os.path.join(self.install, "settings.ini"), "w") as f:
            f.write("[global_settings]\n")
            for k, v in values.items():
                f.write("%s=%s\n" % (k, v))

    def write_fakegame(self, values):
        cfg = {"headless": 1, "wait_ms": 1500, "exit_code": 0}
        cfg.update(values)
        with open(os.path.join(self.install, "fakegame.ini"), "w") as f:
            for k, v in cfg.items():
                f.write("%s=%s\n" % (k, v))

    def start_stack(self, limit_rate=None, cdn_port=None):
        for port in (self.args.cdn_port, self.args.log_port):
            if port_busy(port):
                raise Fail("port %d on 127.0.0.1 is busy; the e2e launcher is built for it" % port)
        if port_busy(CRASH_PORT):
            raise Fail("port %d on 127.0.0.1 is busy; the launcher's crash upload always uses it" % CRASH_PORT)
        cmd = [os.path.join(self.args.source, "tools", "stack"), "start", self.stack, "--build", self.args.build,
               "--cdn-root", self.cdn, "--cdn-port", str(cdn_port or self.args.cdn_port),
               "--log-port", str(self.args.log_port), "--crash-port", str(CRASH_PORT)]
        if limit_rate:
            cmd += ["--limit-rate", limit_rate]
        self.stack_running = True
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise Fail("tools/stack start failed: %s%s" % (r.stdout, r.stderr))
        log("stack up%s" % (" (limit %s per connection)" % limit_rate if limit_rate else ""))

    def start_wm(self):
        out = open(os.path.join(self.work, "wm.log"), "wb")
        self.logs.append(out)
        p = subprocess.Popen([self.args.wm], env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.procs.append(p)
        wait_for("the window manager", lambda: p.poll() is not None or b"running" in open(out.name, "rb").read(), 10)
        if p.poll() is not None:
            raise Fail("the window manager did not start: %s" % open(out.name, "rb").read().decode(errors="replace"))
        log("window manager pid %d" % p.pid)

    def stop_stack(self):
        if self.stack_running:
            subprocess.run([os.path.join(self.args.source, "tools", "stack"), "stop", self.stack],
                           capture_output=True, timeout=60)
            self.stack_running = False

    def our_pids(self):
        """Processes running a program from this scenario's folder (launchers, the stub game, a
        launcher restarted by the update script), found one by one through /proc."""
        pids = []
        root = os.path.realpath(self.work) + "/"
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                exe = os.readlink("/proc/%s/exe" % entry)
            except OSError:
                continue
            if exe.startswith(root):
                pids.append(int(entry))
        return pids

    def report(self):
        """What the launchers were doing when the scenario failed: whether each still runs, the
        windows it shows and the end of its output; and whether the X server still answers."""
        r = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True, text=True, timeout=20)
        log("X server %s: %s" % (os.environ.get("DISPLAY"), (r.stdout + r.stderr).strip()))
        if XVFB is not None:
            log("Xvfb: %s" % XVFB.state())
        for p, out in zip(self.procs, self.logs):
            state = "running" if p.poll() is None else "ended with %s" % p.returncode
            wins = ", ".join("%dx%d+%d+%d" % (w.w, w.h, w.x, w.y) for w in self.windows_of(p.pid, visible=False))
            log("%s: pid %d %s, windows [%s]" % (os.path.basename(out.name), p.pid, state, wins))
            out.flush()
            with open(out.name, "rb") as f:
                tail = f.read().decode(errors="replace").splitlines()[-25:]
            for line in tail:
                print("    | " + line, flush=True)

    def cleanup(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
        for pid in self.our_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        self.stop_stack()
        for f in self.logs:
            f.close()

    # -- processes ------------------------------------------------------------------------------

    def start_launcher(self, label="launcher"):
        n = len(self.procs) + 1
        out = open(os.path.join(self.work, "%s-%d.log" % (label, n)), "wb")
        self.logs.append(out)
        p = subprocess.Popen([os.path.join(self.install, "Kestrivane")], cwd=self.install, env=self.env,
                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.procs.append(p)
        log("started %s pid %d" % (label, p.pid))
        return p

    def wait_exit(self, proc, timeout, what="the launcher to end"):
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Fail("timed out after %.0f s waiting for %s (pid %d)" % (timeout, what, proc.pid))

    def launcher_pids(self):
        target = os.path.realpath(os.path.join(self.install, "Kestrivane"))
        pids = []
        for pid in self.our_pids():
            try:
                exe = os.readlink("/proc/%d/exe" % pid)
            except OSError:
                continue
            if exe in (target, target + " (deleted)"):
                pids.append(pid)
        return pids

    # -- X ----------------------------------------------------------------------------------------

    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], capture_output=True, text=True, timeout=20)
        if check and r.returncode != 0:
            raise Fail("xdotool %s failed: %s" % (" ".join(map(str, args)), r.stderr.strip()))
        return r.stdout

    def windows_of(self, pid, visible=True):
        args = ["search"] + (["--onlyvisible"] if visible else []) + ["--pid", pid]
        out = self.xdotool(*args, check=False)
        wins = []
        for wid in out.split():
            geo = {}
            for line in self.xdotool("getwindowgeometry", "--shell", wid, check=False).splitlines():
                if "=" in line:
                    k, v = line.split("=", 1)
                    geo[k] = int(v) if v.lstrip("-").isdigit() else v
            if "WIDTH" in geo:
                wins.append(Window(wid, geo["X"], geo["Y"], geo["WIDTH"], geo["HEIGHT"]))
        return wins

    def main_window(self, pid, timeout=30):
        def find():
            for w in self.windows_of(pid):
                if (w.w, w.h) == (WINDOW_W, WINDOW_H):
                    return w
            return None
        win = wait_for("the launcher window of pid %d" % pid, find, timeout, 0.2)
        return win

    def window_visible(self, pid):
        return any((w.w, w.h) == (WINDOW_W, WINDOW_H) for w in self.windows_of(pid))

    def grab(self):
        r = subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"], capture_output=True, timeout=30)
        if r.returncode != 0:
            raise Fail("import failed: %s" % r.stderr.decode(errors="replace"))
        return Screen(r.stdout)

    def screenshot(self, label, win=None):
        self.shot_no += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.shot_no, label))
        cmd = ["import", "-silent", "-window", "root"]
        if win is not None:
            cmd += ["-crop", "%dx%d+%d+%d" % (win.w, win.h, win.x, win.y), "+repage"]
        subprocess.run(cmd + [path], capture_output=True, timeout=30)
        return path

    def pixel(self, win, x, y, screen=None):
        screen = screen or self.grab()
        return screen.pixel(win.x + x, win.y + y)

    def expect_colour(self, win, what, point, colours, timeout=20, tolerance=10):
        """Waits until the pixel at point (window coordinates) has one of the colours."""
        targets = [parse_rgb(c) for c in colours]
        last = [None]

        def check():
            last[0] = self.pixel(win, *point)
            return any(near(last[0], t, tolerance) for t in targets)
        try:
            wait_for(what, check, timeout, 0.15)
        except Fail as e:
            shot = self.screenshot("unexpected-" + what.replace(" ", "-"))
            raise Fail("%s: pixel at %s is %s, expected %s (layout changed?) - see %s [%s]"
                       % (what, point, hex_rgb(last[0]), " or ".join(colours), shot, e))

    def click(self, win, what, point, colours, probe=None, tolerance=10):
        """Moves the pointer onto the target, checks the colour its widget paints there (hover
        colours included), then clicks."""
        self.xdotool("mousemove", win.x + point[0], win.y + point[1])
        self.expect_colour(win, what, probe or point, colours, tolerance=tolerance)
        self.xdotool("click", "1")
        log("clicked %s" % what)

    def park_pointer(self):
        self.xdotool("mousemove", 5, 5)

    def has_text(self, win, rect, screen=None, minimum=15):
        screen = screen or self.grab()
        x0, y0, x1, y1 = rect
        return screen.count((win.x + x0, win.y + y0, win.x + x1, win.y + y1), whitish) >= minimum

    # -- observations ---------------------------------------------------------------------------

    def events(self):
        path = os.path.join(self.stack, "sink", "events.jsonl")
        out = []
        try:
            with open(path, encoding="utf-8") as f:
                for line in f:
                    line = line.strip()
                    if line:
                        out.append(json.loads(line))
        except FileNotFoundError:
            pass
        return out

    def named(self, name):
        return [e for e in self.events() if e.get("event") == name]

    def wait_event(self, name, timeout, count=1):
        def got():
            found = self.named(name)
            return found if len(found) >= count else None
        try:
            return wait_for("event %r (x%d)" % (name, count), got, timeout, 0.1)[count - 1]
        except Fail as e:
            raise Fail("%s; events so far: %s" % (e, [x.get("event") for x in self.events()]))

    def access_log(self):
        path = os.path.join(self.stack, "logs", "nginx-access.log")
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def requested(self):
        """Paths requested from the CDN (without the /sea/win_update/ prefix), in log order."""
        out = []
        for line in self.access_log():
            try:
                request = line.split('"')[1]
                path = request.split()[1]
            except IndexError:
                continue
            out.append(path.replace("/sea/win_update/", ""))
        return out

    def config(self):
        cp = configparser.ConfigParser(interpolation=None)
        cp.optionxform = str
        cp.read(os.path.join(self.install, "config.ini"), encoding="utf-8")
        return cp

    def version_table(self):
        table = {}
        with open(os.path.join(self.cdn, "version3.txt"), encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split(":")
                if len(fields) >= 4:
                    table[fields[0]] = {"version": fields[1], "md5": fields[2], "size": int(fields[3])}
        return table

    def publish(self, release_dir, *pairs):
        tool = os.path.join(self.args.build, "bin", "kv-publish")
        r = subprocess.run([tool, "--cdn", self.cdn, "--release", release_dir, "--sign-key", self.args.sign_key]
                           + list(pairs),
                           capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            raise Fail("kv-publish failed: %s%s" % (r.stdout, r.stderr))
        log("published %s" % " ".join(pairs))

    # -- common flows -----------------------------------------------------------------------------

    def wait_ready(self, proc, timeout=90):
        """The game page with the start button enabled ("enable game btn")."""
        self.wait_event("enable game btn", timeout)
        win = self.main_window(proc.pid)
        self.park_pointer()
        self.expect_colour(win, "start button enabled", START_PROBE, [START_NORMAL])
        return win

    def check_installed(self, names=("game.zip", "assets.zip", "data.zip", "readme.txt")):
        """Every listed file is recorded at the published version, archives are gone and their
        entries are on disk byte for byte; plain files match their digest."""
        table = self.version_table()
        cfg = self.config()
        with open(os.path.join(self.cdn, "version3.txt.minisig"), encoding="utf-8") as f:
            signed = f.read().split("trusted comment: timestamp:")[1].split("\t")[0]
        if cfg.get("release", "signed_timestamp", fallback=None) != signed:
            raise Fail("config.ini does not keep the signed release time %s" % signed)
        for name in names:
            want = table[name]["version"]
            got = cfg.get("version", name, fallback=None)
            if got != want:
                raise Fail("config.ini records %s at %r, expected %r" % (name, got, want))
            if cfg.has_option("uncompressing", name):
                raise Fail("config.ini still marks %s for extraction" % name)
            path = os.path.join(self.install, name)
            published = os.path.join(self.cdn, "v%s_%s" % (want, name))
            if name.endswith(".zip"):
                if os.path.exists(path):
                    raise Fail("archive %s was not deleted after extraction" % name)
                with zipfile.ZipFile(published) as z:
                    for info in z.infolist():
                        target = os.path.join(self.install, info.filename)
                        if info.is_dir():
                            if not os.path.isdir(target):
                                raise Fail("directory %s of %s missing" % (info.filename, name))
                            continue
                        with open(target, "rb") as f:
                            if f.read() != z.read(info):
                                raise Fail("%s of %s differs from the archive" % (info.filename, name))
            else:
                if md5_file(path) != table[name]["md5"]:
                    raise Fail("%s does not match its digest" % name)

    def install_fully(self):
        """A first install through the launcher, closed afterwards (used to prepare later runs)."""
        p = self.start_launcher("install")
        win = self.wait_ready(p)
        self.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
        self.wait_exit(p, 20)
        self.check_installed()
        log("installed")
        return len(self.events())

    def events_since(self, index):
        return self.events()[index:]


# -- scenarios --------------------------------------------------------------------------------------


def scenario_first_install(h):
    h.prepare(fakegame={"wait_ms": 2500})
    h.start_stack()
    p = h.start_launcher()
    win = h.main_window(p.pid)
    log("window at %d,%d" % (win.x, win.y))
    check = h.wait_event("check launcher version", 30)
    if check.get("result") != "no need to update launcher":
        raise Fail("version check result %r" % check.get("result"))
    started = h.wait_event("launcher started", 5)
    for key, want in (("src", "game_launcher"), ("gclid", GCLID)):
        if started.get(key) != want:
            raise Fail("event %r carries %s=%r, expected %r" % (started, key, started.get(key), want))
    win = h.wait_ready(p)
    h.screenshot("ready", win)
    h.check_installed()
    fetched = [r for r in h.requested() if r not in VERSION_FILES | COMING_FILES and not DIGEST_NAMED.match(r)]
    for name in ("v1_game.zip", "v1_assets.zip", "v1_data.zip", "v1_readme.txt"):
        if name not in fetched:
            raise Fail("%s was never requested from the CDN (%s)" % (name, fetched))
    if any("Kestrivane" in r for r in fetched):
        raise Fail("the launcher downloaded itself although its version is current")

    h.click(win, "start button", START_BTN, [START_HOVER], probe=START_PROBE)
    h.wait_event("game btn clicked", 10)
    wait_for("the window to hide while the game runs", lambda: not h.window_visible(p.pid), 10, 0.1)
    args_file = os.path.join(h.install, "fakegame-args.txt")
    wait_for("the stub game's argument record", lambda: os.path.exists(args_file), 10)
    with open(args_file, encoding="utf-8") as f:
        args = f.read().split("\n")[:-1]
    want = ["-workdir", ".", "-from-launcher", "-parameter", "gclid=" + GCLID, "-parameter", "language=English"]
    if args != want:
        raise Fail("the game got %r, expected %r" % (args, want))
    finished = h.wait_event("game process finished", 20)
    if finished.get("code") != 0:
        raise Fail("game process finished with code %r" % finished.get("code"))
    win = h.main_window(p.pid, timeout=10)
    h.screenshot("back-after-game", win)
    if h.named("launcher closed"):
        raise Fail("the launcher closed although PopupOnExit is on")
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    closed = h.wait_event("launcher closed", 10)
    if "curr downloading" in closed or "total_update_count" in closed:
        raise Fail("closing without a download reported download counters: %r" % closed)
    h.wait_exit(p, 15)


def other_window(h, pid, size, timeout=15):
    """A further top-level window of the launcher (a dialog) of the given size."""
    def find():
        for w in h.windows_of(pid):
            if (w.w, w.h) == size:
                return w
        return None
    return wait_for("a %dx%d window of pid %d" % (size[0], size[1], pid), find, timeout, 0.2)


def file_ids(paths):
    out = {}
    for p in paths:
        st = os.stat(p)
        out[p] = (st.st_ino, st.st_mtime_ns)
    return out


def scenario_update(h):
    h.prepare()
    h.start_stack()
    h.install_fully()
    untouched = [os.path.join(h.install, p) for p in
                 ("Quelvane.exe", "Quelvane_Data/levels/level_01.txt", "data/locale/English.txt",
                  "data/tables/blob.bin", "readme.txt")]
    before = file_ids(untouched)

    # Version 2 of assets.zip: one entry changed, one added.
    rel = os.path.join(h.work, "release2")
    os.makedirs(rel)
    with zipfile.ZipFile(os.path.join(h.release, "release", "assets.zip")) as old, \
            zipfile.ZipFile(os.path.join(rel, "assets.zip"), "w", zipfile.ZIP_DEFLATED) as new:
        for info in old.infolist():
            data = old.read(info)
            if info.filename == "assets/text/lore_1.txt":
                data = b"lore rewritten for version 2\n" * 400
            new.writestr(info, data)
        new.writestr("assets/text/patch_notes_v2.txt", "Quelvane patch 2: new lore.\n")
    h.publish(rel, "assets.zip=2")
    log_lines = len(h.access_log())
    events_before = len(h.events())

    p = h.start_launcher()
    win = h.wait_ready(p)
    h.screenshot("updated", win)
    fetched = set(r for r in h.requested()[log_lines:] if not DIGEST_NAMED.match(r)) - COMING_FILES
    # The archive was unpacked before: its entry index comes first, then the changed entries alone.
    # The fixed-name signature is asked for only when the copy named by the list's digest is missing.
    if fetched - {"version3.txt.minisig"} != {"version3.txt", "v2_assets.zip", "v2_assets.zip.zipindex"}:
        raise Fail("the update fetched %s, expected only the version file, v2_assets.zip and its index"
                   % sorted(fetched))
    h.check_installed()
    with open(os.path.join(h.install, "assets/text/patch_notes_v2.txt")) as f:
        if "patch 2" not in f.read():
            raise Fail("the new entry of assets.zip is wrong")
    if file_ids(untouched) != before:
        raise Fail("files of archives that did not change were written again")
    later = [e.get("event") for e in h.events()[events_before:]]
    if "uncompress failed" in later or later.count("enable game btn") != 1:
        raise Fail("unexpected events during the update: %s" % later)
    patched = [e for e in h.events()[events_before:] if e.get("event") == "archive patched"]
    if len(patched) != 1 or patched[0].get("fetched") != 2 or patched[0].get("copied") != 0:
        raise Fail("assets.zip was not patched by its two changed entries: %s" % patched)
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    h.wait_exit(p, 15)


def start_download(h, proc):
    """Waits until the download runs: pause button shown, time and speed labels filled."""
    win = h.main_window(proc.pid)
    h.park_pointer()
    h.expect_colour(win, "pause button shown", DOWNLOAD_PROBE, [DOWNLOAD_FACE], timeout=30)
    wait_for("time and speed labels", lambda: h.has_text(win, TIME_TEXT) and h.has_text(win, SPEED_TEXT), 10, 0.2)
    return win


def icon_pixels(h, win):
    screen = h.grab()
    x0, y0, x1, y1 = DOWNLOAD_ICON
    return bytes(b for y in range(y0, y1) for x in range(x0, x1) for b in screen.pixel(win.x + x, win.y + y))


def scenario_pause_resume(h):
    h.prepare()
    h.publish(os.path.join(h.release, "extra"), "big.pak=1")
    h.start_stack(limit_rate="400k")
    p = h.start_launcher()
    win = start_download(h, p)
    wait_for("the percentage line", lambda: h.has_text(win, INFO_TEXT), 10, 0.2)
    h.screenshot("download-running", win)
    pause_icon = icon_pixels(h, win)
    h.click(win, "pause button", DOWNLOAD_BTN, [DOWNLOAD_FACE_HOVER], probe=DOWNLOAD_PROBE)
    h.park_pointer()
    wait_for("time and speed labels to clear",
             lambda: not h.has_text(win, TIME_TEXT, minimum=1) and not h.has_text(win, SPEED_TEXT, minimum=1), 5)
    if not h.has_text(win, INFO_TEXT):
        raise Fail("the percentage line disappeared while paused")
    if icon_pixels(h, win) == pause_icon:
        raise Fail("the pause button still shows the pause icon")
    h.screenshot("paused", win)
    never("time or speed came back while paused",
          lambda: h.has_text(win, TIME_TEXT, minimum=1) or h.has_text(win, SPEED_TEXT, minimum=1), 3)
    if h.named("enable game btn") or os.path.exists(os.path.join(h.install, "big.pak")):
        raise Fail("the download went on while paused")
    h.click(win, "continue button", DOWNLOAD_BTN, [DOWNLOAD_FACE_HOVER], probe=DOWNLOAD_PROBE)
    h.park_pointer()
    wait_for("time and speed labels to come back",
             lambda: h.has_text(win, TIME_TEXT) and h.has_text(win, SPEED_TEXT), 6, 0.2)
    if icon_pixels(h, win) != pause_icon:
        raise Fail("the button does not show the pause icon again after continuing")
    h.screenshot("resumed", win)
    h.wait_ready(p, 120)
    h.check_installed(("game.zip", "assets.zip", "data.zip", "readme.txt", "big.pak"))
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    h.wait_exit(p, 15)


def scenario_close_during_download(h):
    h.prepare(settings={"close_game_action": 1})
    h.publish(os.path.join(h.release, "extra"), "big.pak=1")
    h.start_stack(limit_rate="400k")
    p = h.start_launcher()
    win = start_download(h, p)
    bright = h.pixel(win, *DIM_PROBE)
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    h.park_pointer()
    dlg = other_window(h, p.pid, CONFIRM_SIZE)
    h.expect_colour(dlg, "confirmation face", CONFIRM_FACE_PROBE, [CONFIRM_FACE])
    dim = h.pixel(win, *DIM_PROBE)
    if not all(d <= b * 0.3 + 3 for d, b in zip(dim, bright)):
        raise Fail("the window is not dimmed behind the confirmation: %s before, %s now"
                   % (hex_rgb(bright), hex_rgb(dim)))
    h.screenshot("confirm-exit")
    if h.named("launcher closed"):
        raise Fail("\"launcher closed\" was sent before the confirmation")
    h.click(dlg, "CONFIRM", CONFIRM_BTN, [CONFIRM_WHITE], probe=CONFIRM_BTN_PROBE)
    closed = h.wait_event("launcher closed", 10)
    total, current = closed.get("total_update_count"), closed.get("curr downloading")
    if total != 5 or not isinstance(current, int) or not 1 <= current <= 5:
        raise Fail("launcher closed carries curr downloading=%r total_update_count=%r, expected 1..5 and 5"
                   % (current, total))
    h.wait_exit(p, 15)
    if h.config().get("download_config", "manual_resume", fallback="") != "true":
        raise Fail("manual_resume is not set after leaving during the download")

    # Next start: the download is offered, not started.
    h.stop_stack()
    h.start_stack()
    log_lines = len(h.access_log())
    p = h.start_launcher()
    win = h.main_window(p.pid)
    h.park_pointer()
    h.expect_colour(win, "KEEP UPDATE button", START_PROBE, [START_NORMAL], timeout=20)
    never("the download started by itself",
          lambda: any(r not in VERSION_FILES and not DIGEST_NAMED.match(r) and not r.endswith(INDEX_SUFFIXES)
                      for r in h.requested()[log_lines:]), 2)
    if near(h.pixel(win, *DOWNLOAD_PROBE), parse_rgb(DOWNLOAD_FACE), 10):
        raise Fail("the pause button is shown although nothing downloads")
    h.screenshot("keep-update", win)
    h.click(win, "KEEP UPDATE", START_BTN, [START_HOVER], probe=START_PROBE)
    h.wait_event("resume downloading", 10)
    h.wait_ready(p, 90)
    h.check_installed(("game.zip", "assets.zip", "data.zip", "readme.txt", "big.pak"))
    if h.config().get("download_config", "manual_resume", fallback="") != "false":
        raise Fail("manual_resume stays set after the resumed download")
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    h.wait_exit(p, 15)


def scenario_crash_report(h):
    guid = "9b2f4c1e-77aa-4d2b-b1c3-2f6a8e9d0c15"
    h.prepare(settings={"popup_on_exit": 0, "popup_on_crash": 1},
              fakegame={"wait_ms": 800, "crash": 1, "crash_zips": 1, "crash_zip_name": guid + ".zip",
                        "crash_zip_size": 300000})
    h.start_stack()
    h.install_fully()
    p = h.start_launcher()
    win = h.wait_ready(p)
    h.click(win, "start button", START_BTN, [START_HOVER], probe=START_PROBE)
    h.park_pointer()
    dlg = other_window(h, p.pid, CRASH_SIZE, timeout=20)
    if h.window_visible(p.pid):
        raise Fail("the launcher window is shown together with the crash dialog")
    h.screenshot("crash-dialog", dlg)
    description = "Textures flicker on level 2, then the game stops."
    h.click(dlg, "description edit", CRASH_EDIT, [EDIT_BASE])
    h.xdotool("type", "--delay", "15", description)
    h.click(dlg, "SEND LOG", CRASH_SEND, [DEFAULT_BUTTON_FRAME], probe=CRASH_SEND_PROBE, tolerance=24)
    summary = os.path.join(h.stack, "sink", "crash", "1", "summary.json")
    wait_for("the crash upload", lambda: os.path.exists(summary), 30)
    # The sink's own time of arrival: this process may notice the file late on a busy machine.
    received = os.stat(summary).st_mtime
    with open(summary) as f:
        info = json.load(f)
    parts = info.get("parts", [])
    names = [x.get("name") for x in parts]
    want = ["crash_guid", "crash_md5", "gclid", "device_id", "description", "crash_zip"]
    if names != want:
        raise Fail("the upload has parts %s, expected %s" % (names, want))
    archive = os.path.join(h.install, "crash_info", guid + ".zip")
    with open(archive, "rb") as f:
        zip_bytes = f.read()
    started = h.named("launcher started")[-1]
    expect = {"crash_guid": guid.encode(), "crash_md5": hashlib.md5(zip_bytes).hexdigest().encode(),
              "gclid": GCLID.encode(), "device_id": started.get("deviceId", "").encode(),
              "description": description.encode(), "crash_zip": zip_bytes}
    folder = os.path.dirname(summary)
    for part in parts:
        with open(os.path.join(folder, part["file"]), "rb") as f:
            body = f.read()
        if body != expect[part["name"]]:
            raise Fail("part %s differs: %r..." % (part["name"], body[:80]))
    if not info.get("complete"):
        raise Fail("the crash upload arrived incomplete: %r" % info)
    if not info.get("content_type", "").startswith("multipart/form-data"):
        raise Fail("the crash upload is sent as %r" % info.get("content_type"))
    for part in parts[:-1]:
        if part.get("filename") or part.get("content_type"):
            raise Fail("part %s carries a file name or type: %r" % (part["name"], part))
    zip_part = parts[-1]
    if zip_part.get("filename") != guid + ".zip" or zip_part.get("content_type") != "application/x-zip-compressed":
        raise Fail("crash_zip part header: %r" % zip_part)
    finished = h.wait_event("game process finished", 15)
    if finished.get("code") not in (0, 6, 134):
        log("game process finished with code %r" % finished.get("code"))
    h.wait_event("launcher closed", 20)
    h.wait_exit(p, 20, "the launcher to end after the crash report")
    took = time.time() - received
    log("launcher ended %.1f s after the upload arrived" % took)
    if took < 1.0:
        raise Fail("the launcher ended %.1f s after the upload, expected about 2 s" % took)


def hand_over(h, label):
    """A further launcher start; it must hand over to the running one and end with 0."""
    other = h.start_launcher(label)
    code = h.wait_exit(other, 15, "the %s launcher to hand over" % label)
    if code != 0:
        raise Fail("the %s launcher ended with %r" % (label, code))


def expect_shown_and_active(h, pid, label):
    win = h.main_window(pid, timeout=10)
    focus = wait_for("the window to take the focus",
                     lambda: h.xdotool("getwindowfocus", check=False).strip() == win.wid, 5)
    h.screenshot(label, win)
    return win


def scenario_second_start(h):
    h.prepare(settings={"close_game_action": 0, "popup_on_exit": 1}, fakegame={"wait_ms": 6000})
    h.start_stack()
    h.start_wm()
    p = h.start_launcher()
    win = h.wait_ready(p)

    # Minimised, the window comes back with a further start. (The close button needs a notification
    # area to send the window to; this desktop has none, so closing would leave the launcher.)
    h.click(win, "minimise button", MINIMIZE_BTN, [HOVER_TITLE], probe=MINIMIZE_PROBE)
    wait_for("the window to be minimised", lambda: not h.window_visible(p.pid), 10)
    time.sleep(0.5)
    if p.poll() is not None or h.named("launcher closed"):
        raise Fail("the launcher ended instead of staying in the background")
    hand_over(h, "second")
    win = expect_shown_and_active(h, p.pid, "shown-after-minimise")

    # While the game runs a further start changes nothing.
    h.click(win, "start button", START_BTN, [START_HOVER], probe=START_PROBE)
    wait_for("the window to hide while the game runs", lambda: not h.window_visible(p.pid), 10)
    hand_over(h, "third")
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        if h.window_visible(p.pid):
            raise Fail("a further start showed the window while the game runs")
        time.sleep(0.2)
    if h.named("game process finished"):
        raise Fail("the game ended too early for this check")
    h.wait_event("game process finished", 20)
    h.main_window(p.pid, timeout=10)
    if p.poll() is not None:
        raise Fail("the launcher ended")


def scenario_self_update(h):
    h.prepare()
    rel = os.path.join(h.work, "release-launcher")
    os.makedirs(rel)
    shutil.copy2(h.args.launcher_012, os.path.join(rel, "Kestrivane.exe"))
    h.publish(rel, "Kestrivane.exe=0.12")
    new_md5 = md5_file(h.args.launcher_012)
    h.start_stack()
    p = h.start_launcher()
    check = h.wait_event("check launcher version", 30)
    if check.get("result") != "need to update launcher":
        raise Fail("version check result %r, expected an update" % check.get("result"))
    if h.wait_exit(p, 120, "the old launcher to end for its update") != 0:
        raise Fail("the old launcher ended with %r" % p.returncode)
    stored = os.path.join(h.install, "v0.12_Kestrivane.exe")
    if not os.path.exists(stored) or md5_file(stored) != new_md5:
        raise Fail("v0.12_Kestrivane.exe is missing or differs from the published launcher")
    wait_for("update.sh to swap the launcher",
             lambda: md5_file(os.path.join(h.install, "Kestrivane")) == new_md5, 40, 0.3)
    pids = wait_for("the new launcher to run", lambda: [x for x in h.launcher_pids() if x != p.pid], 20, 0.2)
    new_pid = pids[0]
    win = h.main_window(new_pid, timeout=20)
    second = h.wait_event("check launcher version", 30, count=2)
    if second.get("result") != "no need to update launcher":
        raise Fail("the new launcher's version check says %r" % second.get("result"))
    h.wait_event("enable game btn", 90)
    h.expect_colour(win, "start button enabled", START_PROBE, [START_NORMAL])
    h.screenshot("after-self-update", win)
    if len(h.named("launcher started")) != 2:
        raise Fail("expected two launcher starts")
    with open(os.path.join(h.install, "update.log")) as f:
        if "replaced" not in f.read():
            raise Fail("update.log does not tell of the replacement")
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    wait_for("the new launcher to end", lambda: new_pid not in h.launcher_pids(), 15)


def scenario_self_update_rollback(h):
    # A published launcher that ends at once, before any window: the update script puts the
    # previous one back, which tells of it and does not fetch that version again.
    h.prepare()
    h.env["KV_UPDATE_CONFIRM_S"] = "3"
    rel = os.path.join(h.work, "release-broken-launcher")
    os.makedirs(rel)
    with open(os.path.join(rel, "Kestrivane.exe"), "w") as f:
        f.write("#!/bin/sh\nexit 3\n")
    h.publish(rel, "Kestrivane.exe=0.13")
    h.start_stack()
    old_md5 = md5_file(os.path.join(h.install, "Kestrivane"))
    p = h.start_launcher()
    check = h.wait_event("check launcher version", 30)
    if check.get("result") != "need to update launcher":
        raise Fail("version check result %r, expected an update" % check.get("result"))
    h.wait_exit(p, 120, "the old launcher to end for its update")
    failed = h.wait_event("launcher update failed", 60)
    if failed.get("version") != "0.11" or failed.get("failedVersion") != "0.13":
        raise Fail("the failed update is told as %r" % failed)
    if md5_file(os.path.join(h.install, "Kestrivane")) != old_md5:
        raise Fail("the launcher in place is not the previous one")
    pids = wait_for("the previous launcher to run", lambda: [x for x in h.launcher_pids() if x != p.pid], 20, 0.2)
    win = h.main_window(pids[0], timeout=20)
    second = h.wait_event("check launcher version", 30, count=2)
    if second.get("result") != "launcher update failed before":
        raise Fail("the previous launcher's version check says %r" % second.get("result"))
    h.wait_event("enable game btn", 90)
    h.screenshot("after-failed-self-update", win)
    fetched = [line for line in h.access_log() if "v0.13_Kestrivane.exe" in line]
    if len(fetched) != 1:
        raise Fail("the failed launcher was fetched %d times" % len(fetched))
    with open(os.path.join(h.install, "update.log")) as f:
        text = f.read()
    if "did not come up" not in text or "put the previous launcher back" not in text:
        raise Fail("update.log does not tell of the rollback: %s" % text)
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    wait_for("the previous launcher to end", lambda: pids[0] not in h.launcher_pids(), 15)


def scenario_cdn_failure(h):
    h.prepare()
    with socket.socket() as s:  # a free port for the CDN, so the launcher's CDN port answers nothing
        s.bind(("127.0.0.1", 0))
        elsewhere = s.getsockname()[1]
    h.start_stack(cdn_port=elsewhere)
    before = sorted(os.listdir(h.install))
    p = h.start_launcher()
    win = h.main_window(p.pid)
    errors = h.wait_event("version file download network error", 20, count=3)
    log("third network error, code %r" % errors.get("code"))
    never("a further event after the third network error", lambda: len(h.events()) > 4, 3)
    names = [e.get("event") for e in h.events()]
    if names != ["launcher started"] + ["version file download network error"] * 3:
        raise Fail("events after the CDN failure: %s" % names)
    h.park_pointer()
    screen = h.grab()
    if not h.has_text(win, LAUNCHER_TEXT, screen):
        raise Fail("no error text on the launcher page")
    if near(h.pixel(win, *START_PROBE, screen=screen), parse_rgb(START_NORMAL), 10) or \
            near(h.pixel(win, *START_PROBE, screen=screen), parse_rgb(START_DISABLED), 10):
        raise Fail("the game page is shown after the CDN failure")
    h.screenshot("fatal-error", win)
    if sorted(os.listdir(h.install)) != before:
        raise Fail("files appeared in the install folder: %s" % sorted(set(os.listdir(h.install)) - set(before)))
    if p.poll() is not None:
        raise Fail("the launcher ended by itself")
    h.click(win, "close button", CLOSE_BTN, [HOVER_TITLE], probe=CLOSE_PROBE)
    h.wait_exit(p, 15)


SCENARIOS = {
    "first_install": scenario_first_install,
    "self_update_rollback": scenario_self_update_rollback,
    "update": scenario_update,
    "pause_resume": scenario_pause_resume,
    "close_during_download": scenario_close_during_download,
    "crash_report": scenario_crash_report,
    "second_start": scenario_second_start,
    "self_update": scenario_self_update,
    "cdn_failure": scenario_cdn_failure,
}


def make_release(args):
    out = os.path.join(args.work, "release")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(args.work, exist_ok=True)
    env = dict(os.environ, KV_PUBLISH_SIGN_KEY=args.sign_key)
    r = subprocess.run([os.path.join(args.source, "tools", "make-sample-release.sh"), out, args.build],
                       capture_output=True, text=True, timeout=200, env=env)
    sys.stdout.write(r.stdout + r.stderr)
    if r.returncode != 0:
        raise Fail("make-sample-release.sh failed")
    # A large plain file for the scenarios that need a download lasting several seconds.
    big = os.path.join(out, "extra")
    os.makedirs(big)
    block = hashlib.sha256(b"quelvane e2e").digest()
    with open(os.path.join(big, "big.pak"), "wb") as f:
        for i in range(10 * 1024 * 1024 // 32 + 1000):
            block = hashlib.sha256(block + i.to_bytes(4, "little")).digest()
            f.write(block)
    log("release ready in %s" % out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--launcher", required=True)
    ap.add_argument("--launcher-012", required=True)
    ap.add_argument("--wm", required=True)
    ap.add_argument("--cdn-port", type=int, default=18080)
    ap.add_argument("--log-port", type=int, default=18081)
    ap.add_argument("--work", required=True)
    ap.add_argument("--sign-key", required=True, help="minisign secret key that signs the suite's releases")
    ap.add_argument("--make-release", action="store_true")
    ap.add_argument("--xvfb", action="store_true", help="run a private Xvfb instead of using $DISPLAY")
    ap.add_argument("--scenario", choices=sorted(SCENARIOS))
    args = ap.parse_args()
    h = None
    try:
        if args.make_release:
            make_release(args)
            return 0
        if not args.scenario:
            ap.error("give --make-release or --scenario")
        if args.xvfb:
            global XVFB
            XVFB = server = Xvfb()
            atexit.register(server.stop)
            os.environ["DISPLAY"] = server.display
        h = Harness(args, args.scenario)
        atexit.register(h.cleanup)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda s, f: sys.exit(128 + s))
        log("scenario %s in %s" % (args.scenario, h.work))
        SCENARIOS[args.scenario](h)
        log("PASS %s" % args.scenario)
        return 0
    except Fail as e:
        log("FAIL: %s" % e)
        if h is not None:
            h.report()
        return 1


if __name__ == "__main__":
    sys.exit(main())
