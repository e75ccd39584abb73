#!/usr/bin/env python3
"""Installs the whole build into a fresh prefix and checks what a user meets:
every file arrived, the menu entry names the installed launcher, the launcher
starts the window in the user's folder for the lists (copying the sample list
there only once), both manual pages render cleanly, corvandel-ping runs
from its absolute path under cron's PATH, and the scheduling examples start
it by that path.

    install_test.py CMAKE BUILD_DIR"""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

CMAKE, BUILD_DIR = sys.argv[1], sys.argv[2]
CRON_PATH = "/usr/bin:/bin"

EXPECTED = [
    "bin/corvandel",
    "bin/corvandel-ping",
    "libexec/corvandel/corvandel-launcher",
    "share/applications/corvandel.desktop",
    "share/corvandel/PingServices.txt",
    "share/doc/corvandel/examples/PingServices.txt",
    "share/doc/corvandel/examples/corvandel-ping.cron",
    "share/doc/corvandel/examples/corvandel-ping.service",
    "share/doc/corvandel/examples/corvandel-ping.timer",
    "share/icons/hicolor/128x128/apps/corvandel.png",
    "share/icons/hicolor/scalable/apps/corvandel.svg",
    "share/man/man1/corvandel.1",
    "share/man/man1/corvandel-ping.1",
]

# Stands in for the window: says where it was started and with what.
WINDOW_STUB = """#!/bin/sh
printf '%s\\n' "$PWD" "$#" > "$STUB_REPORT"
"""


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="corvandel-install-")
        cls.prefix = os.path.join(cls.scratch, "prefix with space")
        done = subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix],
                              capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            raise AssertionError("the install failed:\n" + done.stdout + done.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def test_every_file_arrives(self):
        for relative in EXPECTED:
            self.assertTrue(os.path.isfile(self.path(relative)), relative)
        for program in ("bin/corvandel", "bin/corvandel-ping", "libexec/corvandel/corvandel-launcher"):
            self.assertTrue(os.access(self.path(program), os.X_OK), program)

    def test_menu_entry_starts_the_installed_launcher(self):
        with open(self.path("share/applications/corvandel.desktop"), encoding="utf-8") as entry:
            lines = entry.read().splitlines()
        execs = [line[len("Exec="):] for line in lines if line.startswith("Exec=")]
        self.assertEqual(len(execs), 1, lines)
        # The prefix holds a blank, so the path is quoted.
        launcher = self.path("libexec/corvandel/corvandel-launcher")
        self.assertEqual(execs[0], '"' + launcher + '"')
        validate = shutil.which("desktop-file-validate")
        if validate:
            done = subprocess.run([validate, self.path("share/applications/corvandel.desktop")],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def run_launcher(self, home, **extra):
        report = os.path.join(self.scratch, "stub-report")
        environment = {"PATH": CRON_PATH, "HOME": home, "STUB_REPORT": report, **extra}
        done = subprocess.run([self.path("libexec/corvandel/corvandel-launcher")], env=environment,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(report, encoding="utf-8") as lines:
            return lines.read().splitlines()[0]

    def test_launcher_starts_the_window_in_the_lists_folder(self):
        window = self.path("bin/corvandel")
        real = window + ".real"
        os.rename(window, real)
        try:
            with open(window, "w", encoding="utf-8") as stub:
                stub.write(WINDOW_STUB)
            os.chmod(window, 0o755)
            with open(self.path("share/corvandel/PingServices.txt"), "rb") as sample:
                sample_bytes = sample.read()
            home = tempfile.mkdtemp(dir=self.scratch)
            lists = os.path.join(home, ".config", "corvandel")
            self.assertEqual(self.run_launcher(home), lists)
            with open(os.path.join(lists, "PingServices.txt"), "rb") as copied:
                self.assertEqual(copied.read(), sample_bytes)
            self.assertEqual(os.listdir(lists), ["PingServices.txt"])

            # A list of the user's own is never replaced.
            with open(os.path.join(lists, "PingServices.txt"), "wb") as own:
                own.write(b"http://my.example/\n")
            self.assertEqual(self.run_launcher(home), lists)
            with open(os.path.join(lists, "PingServices.txt"), "rb") as kept:
                self.assertEqual(kept.read(), b"http://my.example/\n")

            config = os.path.join(self.scratch, "xdg config")
            self.assertEqual(self.run_launcher(home, XDG_CONFIG_HOME=config), os.path.join(config, "corvandel"))
            # A relative XDG_CONFIG_HOME is invalid, and ignored.
            self.assertEqual(self.run_launcher(home, XDG_CONFIG_HOME="relative"), lists)
        finally:
            os.replace(real, window)

    def test_manual_pages_render_without_warnings(self):
        groff = shutil.which("groff")
        if not groff:
            self.skipTest("groff is not installed")
        for page in ("share/man/man1/corvandel.1", "share/man/man1/corvandel-ping.1"):
            done = subprocess.run([groff, "-man", "-Tutf8", "-ww", "-z", self.path(page)],
                                  capture_output=True, text=True)
            self.assertEqual((done.returncode, done.stderr), (0, ""), page)

    def test_cli_runs_under_crons_path(self):
        done = subprocess.run([self.path("bin/corvandel-ping"), "--version"], env={"PATH": CRON_PATH},
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith("corvandel-ping "), done.stdout)

    def example_lines(self, name):
        with open(self.path("share/doc/corvandel/examples/" + name), encoding="utf-8") as example:
            return [line for line in example.read().splitlines() if line and not line.startswith("#")]

    def test_scheduling_examples_start_the_installed_program(self):
        program = self.path("bin/corvandel-ping")
        # The prefix holds a blank, so both name the program quoted.
        starts = [line[len("ExecStart="):] for line in self.example_lines("corvandel-ping.service")
                  if line.startswith("ExecStart=")]
        self.assertEqual(len(starts), 1)
        self.assertEqual(shlex.split(starts[0])[0].replace("%%", "%"), program, starts[0])

        crontab = self.example_lines("corvandel-ping.cron")
        self.assertEqual(len(crontab), 1, crontab)
        command = shlex.split(crontab[0].split(None, 5)[5])
        self.assertIn("&&", command, crontab)
        self.assertEqual(command[command.index("&&") + 1], program, crontab)

        analyze = shutil.which("systemd-analyze")
        if analyze:
            # Also checks that the program named is there and executable.
            runtime = tempfile.mkdtemp(dir=self.scratch)
            examples = self.path("share/doc/corvandel/examples")
            done = subprocess.run([analyze, "verify", "--user", "--man=no",
                                   os.path.join(examples, "corvandel-ping.service"),
                                   os.path.join(examples, "corvandel-ping.timer")],
                                  env={"PATH": CRON_PATH, "HOME": runtime, "XDG_RUNTIME_DIR": runtime},
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
