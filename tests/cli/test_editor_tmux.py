"""End-to-end tests of `vanto-edit open`, the interactive editor.

Each test runs the built program (path in $VANTO_EDIT) inside a detached tmux
server of its own (a socket in a fresh temporary directory, killed at the
end), sends keys with `tmux send-keys`, reads the screen with `capture-pane`
(polling for the expected text, never sleeping a fixed time) and compares the
saved file with the same edits made on a Python bytearray.
CTest runs one test class per group: python3 -m unittest test_editor_tmux.<Group>Tests.
"""

import os
import random
import re
import shutil
import subprocess
import tempfile
import time
import unittest

PROGRAM = os.environ.get("VANTO_EDIT", "vanto-edit")
TIMEOUT = 15.0


class Pane:
    """The program in a tmux pane: `sh -c 'program; echo exited $?; ...'`,
    so that what the shell sees after the program ends can be checked."""

    def __init__(self, directory, args, width=100, height=30, env=None, job_control=False):
        self.socket = os.path.join(directory, "tmux.sock")
        command = " ".join(_quote(a) for a in [PROGRAM, *args])
        script = (f"{command}; echo \"exited $?\"; stty -a | tr ' ;' '\\n\\n' | grep -x -e '-*icanon' -e '-*echo'; "
                  "sleep 600")
        environment = dict(os.environ)
        environment.pop("TMUX", None)
        environment.update(env or {})
        environment["PS1"] = "$ "
        # With job control an interactive shell runs the program, typed on
        # its command line, as a job of its own (Ctrl-Z stops it, fg resumes).
        shell = ["bash", "--norc", "--noprofile", "-i"] if job_control else ["sh", "-c", script]
        self._tmux("-f", "/dev/null", "new-session", "-d", "-x", str(width), "-y", str(height), *shell,
                   env=environment)
        if job_control:
            self.wait_for(r"^\$")
            self.type(command)
            self.keys("Enter")
        self._tmux("set-option", "-g", "remain-on-exit", "on")

    def _tmux(self, *args, env=None, check=True):
        return subprocess.run(["tmux", "-S", self.socket, *args], check=check, capture_output=True, text=True,
                              env=env, timeout=30)

    def close(self):
        self._tmux("kill-server", check=False)

    def keys(self, *keys):
        """tmux key names (Enter, Tab, C-g, ...)."""
        self._tmux("send-keys", *keys)

    def type(self, text):
        self._tmux("send-keys", "-l", "--", text)

    def screen(self):
        return self._tmux("capture-pane", "-p").stdout

    def display(self, fmt):
        return self._tmux("display-message", "-p", fmt).stdout.strip()

    def wait_for(self, pattern, timeout=TIMEOUT):
        """The screen once `pattern` (a regular expression) is on it."""
        deadline = time.monotonic() + timeout
        screen = ""
        while time.monotonic() < deadline:
            screen = self.screen()
            if re.search(pattern, screen, re.M):
                return screen
            time.sleep(0.02)
        raise AssertionError(f"{pattern!r} did not appear; the screen:\n{screen}")

    def status(self):
        lines = self.screen().rstrip("\n").split("\n")
        return lines[-2] if len(lines) >= 2 else ""

    def wait_status(self, pattern):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if re.search(pattern, self.screen()):
                return
            time.sleep(0.02)
        raise AssertionError(f"{pattern!r} not on the screen:\n{self.screen()}")

    def program_pid(self):
        shell = self.display("#{pane_pid}")
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            found = subprocess.run(["pgrep", "-P", shell], capture_output=True, text=True).stdout.split()
            if found:
                return int(found[0])
            time.sleep(0.02)
        raise AssertionError("the program did not start")


def _quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def _state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def at(offset):
    """The status line's cursor field."""
    return rf"0x{offset:x} \({offset}\)"


class EditorCase(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vanto-editor-tmux-")
        self.panes = []

    def tearDown(self):
        for pane in self.panes:
            pane.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def file(self, data, name="data.bin"):
        path = os.path.join(self.directory, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def open(self, *args, **kwargs):
        pane = Pane(self.directory, list(args), **kwargs)
        self.panes.append(pane)
        return pane

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def quit(self, pane, command=":q", status=0):
        pane.type(command)
        pane.keys("Enter")
        pane.wait_for(rf"^exited {status}$")


class EditingTests(EditorCase):
    def test_edits_in_both_panes_select_paste_undo_and_save(self):
        rng = random.Random(5)
        data = bytearray(rng.randrange(256) for _ in range(4096))
        path = self.file(bytes(data))
        ref = bytearray(data)
        pane = self.open("open", path)
        pane.wait_for("4096 bytes")

        pane.keys("C-g")
        pane.type("0x100")
        pane.keys("Enter")
        pane.wait_status(at(0x100))
        pane.type("4142")  # hex pane, overwrite
        ref[0x100:0x102] = b"AB"
        pane.wait_status(at(0x102))
        pane.keys("Tab")
        pane.type("xyz")  # text pane, overwrite
        ref[0x102:0x105] = b"xyz"
        pane.wait_status(at(0x105) + r".*text")
        pane.keys("Escape")
        pane.wait_status(at(0x105) + r".*hex")
        pane.type("i")
        pane.wait_status("INS")
        pane.type("ff")  # an inserted byte
        ref[0x105:0x105] = b"\xff"
        pane.type("i")
        pane.wait_status(r"OVR.* 9 changes")
        screen = pane.wait_for(r"^00000100  41 42 78 79 7a ff")
        self.assertRegex(screen, r"ABxyz\.")
        pane.type("x")  # delete at the cursor (0x106)
        del ref[0x106]
        pane.keys("BSpace")  # and before it
        del ref[0x105]
        pane.wait_status(at(0x105) + r".*11 changes")

        # Select three bytes, copy, paste at the end, overwrite-paste at 0.
        pane.type("vll")
        pane.wait_status(r"sel 3")
        pane.type("y")
        pane.wait_for("copied 3 bytes")
        clip = ref[0x105:0x108]
        pane.type("G")
        pane.keys("Right")
        pane.wait_status(at(len(ref)))
        pane.type("p")
        ref += clip
        pane.wait_for("pasted 3 bytes")
        pane.type("gg")
        pane.wait_status(at(0))
        pane.type("P")
        ref[0:3] = clip
        pane.wait_for("pasted over 3 bytes")
        # Undo the last paste, redo it, undo it again.
        pane.type("u")
        pane.wait_for("undone")
        pane.keys("C-r")
        pane.wait_for("redone")
        pane.type("u")
        pane.wait_for(r"undone; \d+ more")
        ref[0:3] = data[0:3]
        # A selection made with Shift+arrows, deleted.
        pane.keys("C-g")
        pane.type("0x200")
        pane.keys("Enter")
        pane.wait_status(at(0x200))
        pane.keys("S-Right", "S-Right", "S-Right")
        pane.wait_status("sel 4")
        pane.keys("DC")
        del ref[0x200:0x204]
        pane.wait_for("deleted 4 bytes")

        pane.keys("C-s")
        pane.wait_for(r"saved \d+ bytes")
        self.assertNotIn("modified", pane.status())
        self.quit(pane)
        self.assertEqual(self.read(path), bytes(ref))

    def test_quit_with_unsaved_changes_is_refused(self):
        path = self.file(b"hello world\n")
        pane = self.open(path)  # `vanto-edit FILE` opens the editor too
        pane.wait_for("12 bytes")
        pane.type("00")
        pane.wait_status("modified")
        pane.type(":q")
        pane.keys("Enter")
        pane.wait_for("unsaved changes")
        self.assertNotIn("exited", pane.screen())
        self.quit(pane, ":q!")
        self.assertEqual(self.read(path), b"hello world\n")

    def test_library_log_lines_go_to_the_message_line(self):
        path = self.file(b"abc")
        # --verbose writes the library's lines to standard error elsewhere: not here.
        for options in ([], ["--verbose"]):
            with self.subTest(options=options):
                pane = self.open("open", *options, path)
                pane.wait_for("3 bytes")
                pane.type(":w /proc/no-such-dir/out")
                pane.keys("Enter")
                screen = pane.wait_for(r"failed .*library: ")
                lines = screen.rstrip("\n").split("\n")
                self.assertRegex(lines[-1], r"^save to /proc/no-such-dir/out failed \(-?\d+\).*\| library: ")
                for line in lines[:-1]:
                    self.assertNotIn("library", line)
                    self.assertNotIn("@", line)
                self.quit(pane)

    def test_read_only_refuses_edits(self):
        path = self.file(b"abcdef")
        pane = self.open("--read-only", path)  # options may come before FILE
        pane.wait_for("read-only")
        pane.type("41")
        pane.wait_for("read-only: no edits")
        pane.type("ZZ")
        pane.wait_for(r"^exited 0$")
        self.assertEqual(self.read(path), b"abcdef")

    def test_save_and_quit_and_resize(self):
        path = self.file(bytes(range(64)))
        pane = self.open("open", path, width=100)
        pane.wait_for(r"^00000010  10 11 12")
        pane._tmux("resize-window", "-x", "60")
        pane.wait_for(r"^00000008  08 09 0a")
        pane.keys("Tab")
        pane.type("Q")
        pane.keys("Escape")
        pane.wait_status("hex")
        pane.type(":wq")
        pane.keys("Enter")
        pane.wait_for(r"^exited 0$")
        self.assertEqual(self.read(path), b"Q" + bytes(range(1, 64)))


class SearchTests(EditorCase):
    def test_search_both_ways_with_wrap_and_hex_masks(self):
        data = bytearray(b"." * 3000)
        offsets = [100, 1500, 2900]
        for o in offsets:
            data[o:o + 6] = b"needle"
        data[2000:2006] = b"NEEDLE"
        path = self.file(bytes(data))
        pane = self.open("open", path)
        pane.wait_for("3000 bytes")
        pane.type("/")
        pane.keys("Tab")  # text pattern
        pane.wait_for(r"^/ \(text\)")
        pane.type("needle")
        pane.keys("Enter")
        pane.wait_status(at(100))
        pane.type("n")
        pane.wait_status(at(1500))
        pane.type("n")
        pane.wait_status(at(2900))
        pane.type("n")
        pane.wait_status(at(100))
        pane.wait_for("wrapped to the start")
        pane.type("N")
        pane.wait_status(at(2900))
        pane.wait_for("wrapped to the end")
        pane.type(":set ic")
        pane.keys("Enter")
        pane.type("N")
        pane.wait_status(at(2000))
        # Backward in hex with a wildcard and a nibble.
        pane.type("?")
        pane.wait_for(r"^\? \(hex")
        pane.type("6e 65 ?? 6?")
        pane.keys("Enter")
        pane.wait_status(at(1500))
        pane.type("/")
        pane.type("ab cd")
        pane.keys("Enter")
        pane.wait_for("not found")
        pane.wait_status(at(1500))
        self.quit(pane)

    def test_long_search_shows_progress_and_escape_cancels_it(self):
        path = os.path.join(self.directory, "sparse.bin")
        with open(path, "wb") as f:
            f.truncate(64 << 30)
        pane = self.open("open", path)
        pane.wait_for("68719476736 bytes")
        pane.type("/")
        pane.keys("Tab")
        pane.type("zz")
        pane.keys("Enter")
        pane.wait_for(r"searching\.\.\. \d+%  \(Esc cancels\)")
        pane.keys("Escape")
        pane.wait_for("search cancelled")
        pane.wait_status(at(0))
        self.quit(pane)


class TerminalTests(EditorCase):
    def test_refusals_without_a_terminal_or_a_file(self):
        path = self.file(b"abc")
        for args, message in [(["open", path], "needs a terminal"),
                              ([path], "needs a terminal"),
                              (["open", os.path.join(self.directory, "missing")], "missing"),
                              (["open", self.directory], "directory")]:
            run = subprocess.run([PROGRAM, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn(message, run.stderr.decode(), args)
            self.assertEqual(run.stdout, b"", args)

    def test_terminal_is_restored_after_sigterm(self):
        path = self.file(b"x" * 100)
        pane = self.open("open", path)
        pane.wait_for("100 bytes")
        self.assertEqual(pane.display("#{alternate_on}"), "1")
        os.kill(pane.program_pid(), 15)
        screen = pane.wait_for(r"^exited 130$")
        pane.wait_for(r"^echo$")
        screen = pane.screen()
        self.assertRegex(screen, r"(?m)^icanon$")
        self.assertNotIn("-icanon", screen)
        self.assertEqual(pane.display("#{alternate_on}"), "0")
        self.assertEqual(pane.display("#{cursor_flag}"), "1")

    def test_ctrl_z_gives_the_terminal_back_until_resumed(self):
        path = self.file(b"y" * 100)
        pane = self.open("open", path, job_control=True)
        pane.wait_for("100 bytes")
        pid = pane.program_pid()
        pane.keys("C-z")
        pane.wait_for("Stopped")
        self.assertEqual(_state(pid), "T")
        self.assertEqual(pane.display("#{alternate_on}"), "0")
        pane.type("fg")
        pane.keys("Enter")
        pane.wait_for(r"^00000000  79 79")
        self.assertEqual(pane.display("#{alternate_on}"), "1")
        pane.type("l")
        pane.wait_status(at(1))
        pane.type(":q")
        pane.keys("Enter")
        pane.wait_for(r"^\$\s*$")
        pane.type('echo "exited $?"')
        pane.keys("Enter")
        pane.wait_for(r"^exited 0$")

    def test_sparse_file_beyond_4_gib_to_its_end(self):
        path = os.path.join(self.directory, "sparse.bin")
        size = 5 << 30
        with open(path, "wb") as f:
            f.truncate(size)
            f.seek(size - 4)
            f.write(b"TAIL")
        pane = self.open("open", path)
        pane.wait_for(f"{size} bytes")
        pane.type("G")
        pane.wait_status(at(size - 1))
        pane.wait_for(r"^13ffffff0  00 00 .* 54 41 49 4c  .*TAIL")
        pane.keys("C-g")
        pane.type("4G")
        pane.keys("Enter")
        pane.wait_status(at(4 << 30))
        pane.wait_for(r"^100000000  00 00")
        pane.keys("C-g")
        pane.type("-1")
        pane.keys("Enter")
        pane.wait_status(at((4 << 30) - 1))
        pane.keys("PageDown")
        pane.wait_status(r"0x1000001[0-9a-f]{2} ")
        self.quit(pane)


if __name__ == "__main__":
    unittest.main()
