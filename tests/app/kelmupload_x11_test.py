"""Runs the real KelmUpload on a private X server and watches it from outside.

Checked: the clipboard holds exactly the start directory (a path with a
space, no newline) while the program runs; a format that was on the
clipboard before is no longer offered; the process ends on its own between
9.5 and 12 seconds after start, and with no clipboard manager the text ends
with it; with a clipboard manager running (tests/support/clipboard_manager.py)
the program hands the text over on its way out and the text outlives it.
With xclipboard running, which takes the clipboard over from every program
that sets it, ten runs in a row (and ten more with the processors busy) each
leave their own directory on the clipboard, report no failure, and the text
stays after the program has gone. A program that takes the clipboard back
from everyone makes the program report the failure and end with status 1,
its window still shown and its end still on time. A renamed copy of the
window's test executable checks that the executable's own name, without
extension, is shown.

Usage: kelmupload_x11_test.py PATH/TO/KelmUpload
"""

import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from Xlib import X, display, error

EXE = None
DISPLAY_ENV = None
MANAGER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                       "clipboard_manager.py")


def xclip_out(target=None, timeout=5):
    cmd = ["xclip", "-o", "-selection", "clipboard"]
    if target:
        cmd += ["-t", target]
    r = subprocess.run(cmd, env=DISPLAY_ENV, capture_output=True, timeout=timeout)
    return r.returncode, r.stdout


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


class LineReader:
    """Reads a child's output line by line, each wait bounded."""

    def __init__(self, pipe):
        self.fd = pipe.fileno()
        self.buf = b""

    def next(self, timeout):
        """The next line without its newline; None if none came in time."""
        end = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = end - time.monotonic()
            if not select.select([self.fd], [], [], max(left, 0))[0]:
                return None
            chunk = os.read(self.fd, 4096)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line


def display_answers(env):
    r = subprocess.run(["xclip", "-o", "-selection", "clipboard", "-t", "TARGETS"], env=env,
                       capture_output=True, timeout=5)
    return b"open display" not in r.stderr


class XView:
    """The test's own connection, to see the program's window and who owns
    the clipboard."""

    def __init__(self):
        self.d = display.Display(DISPLAY_ENV["DISPLAY"])
        self.clipboard = self.d.intern_atom("CLIPBOARD")

    def close(self):
        self.d.close()

    @staticmethod
    def _title(w):
        name = w.get_wm_name()
        return name.decode(errors="replace") if isinstance(name, bytes) else name

    def window_shown(self, title):
        for w in self.d.screen().root.query_tree().children:
            try:
                if self._title(w) == title and w.get_attributes().map_state == X.IsViewable:
                    return True
            except error.XError:  # gone meanwhile
                pass
        return False

    def clipboard_owner_title(self):
        """The title of the window that owns CLIPBOARD (None if nobody does)."""
        owner = self.d.get_selection_owner(self.clipboard)
        if not owner:
            return None
        try:
            return self._title(owner)
        except error.XError:
            return None


class XServer:
    def __enter__(self):
        r, w = os.pipe()
        # -noreset: by default the server resets when its last client leaves,
        # and a client connecting during that reset is turned away (a quick
        # xclip leaving just as the program connects made it fail to start).
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            ready = select.select([f], [], [], 30)[0]
            number = f.readline().strip() if ready else ""
        if not number:
            self.__exit__()
            raise RuntimeError("Xvfb did not start")
        env = dict(os.environ)
        env["DISPLAY"] = ":" + number
        env["QT_QPA_PLATFORM"] = "xcb"
        env.pop("WAYLAND_DISPLAY", None)
        # A client must get through before any test counts on the display.
        if not wait_for(lambda: display_answers(env), 20, step=0.2):
            self.__exit__()
            raise RuntimeError("nothing can connect to the display :" + number)
        return env

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class KelmUploadOnX11(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelm run ")
        self.helpers = []
        self.view = XView()

    def tearDown(self):
        self.view.close()
        for p in self.helpers:
            if p.poll() is None:
                p.kill()
            p.wait(timeout=10)
            for pipe in (p.stdin, p.stdout, p.stderr):
                if pipe:
                    pipe.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, args, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.PIPE)
        p = subprocess.Popen(args, env=DISPLAY_ENV, **kw)
        self.helpers.append(p)
        return p

    def start_xclipboard(self):
        self.start(["xclipboard"], stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: self.view.clipboard_owner_title() == "xclipboard", 10),
                        "xclipboard never took the clipboard")

    def start_until_shown(self, cwd):
        """Starts the program and waits until its window is shown, by which
        time its load handler has decided whether the clipboard was taken."""
        app = self.start([EXE], cwd=cwd)
        shown = wait_for(lambda: app.poll() is not None or self.view.window_shown("Kelm Upload"),
                         10)
        if not shown or app.poll() is not None:
            app.kill()
            self.fail("the window was never shown: %s"
                      % app.communicate(timeout=10)[1].decode(errors="replace"))
        return app

    def runs_with_xclipboard(self, runs, last_ends_on_timer):
        self.start_xclipboard()
        for i in range(runs):
            # A directory of its own per run: xclipboard still serving the
            # previous run's text must not pass for this run's.
            cwd = os.path.join(self.tmp, "run %d" % i)
            os.mkdir(cwd)
            expected = os.path.realpath(cwd).encode()
            start = time.monotonic()
            app = self.start_until_shown(cwd)
            # xclipboard takes the text over while the program runs.
            taken = wait_for(lambda: self.view.clipboard_owner_title() == "xclipboard"
                             and xclip_out()[1] == expected, 8)
            if last_ends_on_timer and i == runs - 1:
                rc = app.wait(timeout=15)
                elapsed = time.monotonic() - start
                err = app.stderr.read()
                self.assertEqual(rc, 0, "run %d: %r" % (i, err))
                self.assertGreaterEqual(elapsed, 9.5)
                self.assertLess(elapsed, 12.0)
            else:
                app.kill()
                err = app.communicate(timeout=10)[1]
            self.assertNotIn(b"could not place", err, "run %d" % i)
            self.assertTrue(taken, "run %d: the clipboard held %r, owned by %r"
                            % (i, xclip_out()[1], self.view.clipboard_owner_title()))
            # The program is gone; xclipboard still serves its text.
            self.assertEqual(xclip_out(), (0, expected), "run %d" % i)

    def test_clipboard_holds_the_directory_and_the_process_ends_on_time(self):
        # Something else owns the clipboard first, offering HTML.
        holder = self.start(["xclip", "-selection", "clipboard", "-t", "text/html", "-loops", "0"],
                            stdin=subprocess.PIPE)
        holder.stdin.write(b"<b>earlier</b>")
        holder.stdin.close()
        self.assertTrue(wait_for(lambda: b"text/html" in xclip_out("TARGETS")[1], 5),
                        "the earlier clipboard owner did not come up")

        start = time.monotonic()
        app = self.start([EXE], cwd=self.tmp)
        expected = os.path.realpath(self.tmp).encode()
        self.assertTrue(wait_for(lambda: xclip_out()[1] == expected, 8),
                        "clipboard never held the start directory: %r" % (xclip_out()[1],))
        code, text = xclip_out()
        self.assertEqual(text, expected)
        self.assertFalse(text.endswith(b"\n"))
        code, targets = xclip_out("TARGETS")
        self.assertEqual(code, 0)
        self.assertNotIn(b"text/html", targets)

        try:
            rc = app.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.fail("KelmUpload still running 15 s after start")
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 0, app.stderr.read().decode(errors="replace"))
        self.assertGreaterEqual(elapsed, 9.5)
        self.assertLess(elapsed, 12.0)
        # No clipboard manager runs here, so the text goes with the process:
        # what keeps it in the test below is the handover, nothing else.
        code, text = xclip_out()
        self.assertTrue(code != 0 or text == b"", "after exit the clipboard held %r" % (text,))

    def test_text_outlives_the_process_with_a_clipboard_keeper(self):
        manager = self.start(["/usr/bin/python3", MANAGER, "--lifetime", "100"],
                             stdout=subprocess.PIPE)
        lines = LineReader(manager.stdout)
        self.assertEqual(lines.next(10), b"READY", "the clipboard manager did not come up")
        app = self.start([EXE], cwd=self.tmp)
        expected = os.path.realpath(self.tmp).encode()
        self.assertTrue(wait_for(lambda: xclip_out()[1] == expected, 8),
                        "the clipboard never held the start directory")
        # The manager keeps out of the way while the program owns the clipboard.
        self.assertIsNone(lines.next(0), "the manager took the clipboard too early")
        try:
            rc = app.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.fail("KelmUpload still running 15 s after start")
        self.assertEqual(rc, 0, app.stderr.read().decode(errors="replace"))
        # The program is gone; the text now comes from the manager, which got
        # it through the handover on the program's way out.
        saved = lines.next(5)
        self.assertIsNotNone(saved, "the program never handed the clipboard over")
        self.assertTrue(saved.startswith(b"SAVED "), saved)
        self.assertIn(b"UTF8_STRING", saved.split())
        code, text = xclip_out()
        self.assertEqual(code, 0)
        self.assertEqual(text, expected)
        self.assertEqual(xclip_out("UTF8_STRING"), (0, expected))

    def test_ten_runs_in_a_row_with_xclipboard(self):
        self.runs_with_xclipboard(10, last_ends_on_timer=True)

    def test_ten_runs_in_a_row_with_xclipboard_and_busy_processors(self):
        for _ in range(min(os.cpu_count() or 2, 4)):
            self.start(["/usr/bin/python3", "-c", "while True: pass"])
        self.runs_with_xclipboard(10, last_ends_on_timer=False)

    def test_a_clipboard_that_cannot_be_taken_is_reported_and_the_end_is_on_time(self):
        holder = self.start(["/usr/bin/python3", MANAGER, "--hold", "not yours", "--lifetime",
                             "100"], stdout=subprocess.PIPE)
        self.assertEqual(LineReader(holder.stdout).next(10), b"READY",
                         "the clipboard holder did not come up")
        start = time.monotonic()
        app = self.start_until_shown(self.tmp)
        try:
            rc = app.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.fail("KelmUpload still running 15 s after start")
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 1)
        self.assertEqual(app.stderr.read().splitlines()[-1],
                         b"KelmUpload: could not place the current directory on the clipboard")
        self.assertGreaterEqual(elapsed, 9.5)
        self.assertLess(elapsed, 12.0)
        self.assertEqual(xclip_out(), (0, b"not yours"))

    def test_a_renamed_copy_shows_its_own_name_without_extension(self):
        copy = os.path.join(self.tmp, "Other Uploader.bin")
        shutil.copy2(EXE, copy)
        app = self.start([copy], cwd=self.tmp)
        # The copy behaves like the original: clipboard, then its own end.
        expected = os.path.realpath(self.tmp).encode()
        if not wait_for(lambda: xclip_out()[1] == expected, 8):
            app.kill()
            self.fail("the copy never put the start directory on the clipboard: %r, %s"
                      % (xclip_out(), app.communicate(timeout=10)[1].decode(errors="replace")))
        app.kill()
        window_test = os.path.join(os.path.dirname(EXE), "..", "tests", "test_app_kelm")
        if not os.path.exists(window_test):
            self.skipTest("window test executable not built")
        renamed = os.path.join(self.tmp, "Other Uploader.bin")
        os.remove(renamed)
        shutil.copy2(window_test, renamed)
        env = dict(DISPLAY_ENV, QT_QPA_PLATFORM="offscreen", KELM_EXPECT_NAME="Other Uploader")
        r = subprocess.run([renamed, "--gtest_filter=KelmWindow.*"], env=env, cwd=self.tmp,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace"))


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    with XServer() as env:
        DISPLAY_ENV = env
        unittest.main(verbosity=2)
