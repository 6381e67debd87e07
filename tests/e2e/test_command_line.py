"""The real binary's command line: modes, durations, statuses, exact bytes, silent stderr.

No sound server is reachable here, so a valid recording request passes the permission gate and
fails at the content query (status 1): an unreachable server is not a refusal of access.
"""
import os
import subprocess
import tempfile
import unittest

BINARY = os.environ["SORVANEL_BINARY"]
USAGE = b'{"error":"Usage: SorvanelAudio output.m4a duration_seconds"}\n'
CHECK = b'{"authorized":true,"capture_source":"Ableton Live application audio"}\n'


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home.name,
            "XDG_RUNTIME_DIR": self.home.name,
            "PULSE_SERVER": "unix:" + os.path.join(self.home.name, "no-server"),
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]

    def tearDown(self):
        self.home.cleanup()

    def run_tool(self, *args, argv0=None, env=None):
        result = subprocess.run([argv0 or BINARY, *args], executable=BINARY, capture_output=True,
                                env=env or self.env, cwd=self.home.name, timeout=60)
        self.assertEqual(result.stderr, b"", "nothing may reach standard error")
        return result

    def test_check_and_permission_request_lines(self):
        for args in (["--check"], ["--check", "out.m4a", "5"], ["--request-permission", "--check"]):
            result = self.run_tool(*args)
            self.assertEqual((result.stdout, result.returncode), (CHECK, 0), args)
        for args in (["--request-permission"], ["out.m4a", "5", "--request-permission"]):
            result = self.run_tool(*args)
            self.assertEqual((result.stdout, result.returncode), (b'{"authorized":true}\n', 0), args)

    def test_program_path_equal_to_an_option_selects_it(self):
        result = self.run_tool(argv0="--check")
        self.assertEqual((result.stdout, result.returncode), (CHECK, 0))

    def test_bad_command_lines_get_the_usage_line_and_status_2(self):
        cases = [[], ["out.m4a"], ["out.m4a", "5", "6"], ["out.m4a", "0.999"], ["out.m4a", "30.0001"],
                 ["out.m4a", " 5"], ["out.m4a", "5 "], ["out.m4a", "5s"], ["out.m4a", ""], ["out.m4a", "-5"],
                 ["out.m4a", "1,5"], ["out.m4a", "nan"], ["out.m4a", "inf"], ["--CHECK"]]
        for args in cases:
            result = self.run_tool(*args)
            self.assertEqual((result.stdout, result.returncode), (USAGE, 2), args)
        self.assertEqual(os.listdir(self.home.name), [], "nothing is created")

    def test_valid_requests_pass_the_gate_and_fail_cleanly_without_a_server(self):
        for duration in ("1", "30", "2.5", "1e1", "0x1E"):
            result = self.run_tool("out.m4a", duration)
            self.assertEqual(result.returncode, 1, duration)
            lines = result.stdout.split(b"\n")
            self.assertEqual(len(lines), 2, result.stdout)
            self.assertTrue(lines[0].startswith(b'{"error":"'), result.stdout)
            self.assertEqual(lines[1], b"")
        self.assertFalse(os.path.exists(os.path.join(self.home.name, "out.m4a")))

    def test_a_closed_standard_output_changes_no_status(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            for args, status in ((["--check"], 0), (["out.m4a"], 2), (["out.m4a", "5"], 1)):
                completed = subprocess.run([BINARY, *args], stdout=write_end, stderr=subprocess.PIPE,
                                           env=self.env, cwd=self.home.name, timeout=60)
                self.assertEqual((completed.returncode, completed.stderr), (status, b""), args)
        finally:
            os.close(write_end)

    def test_duration_ignores_the_environments_decimal_comma(self):
        env = dict(self.env, LC_ALL="de_DE.UTF-8", LANG="de_DE.UTF-8", LC_NUMERIC="de_DE.UTF-8")
        self.assertEqual(self.run_tool("out.m4a", "2.5", env=env).returncode, 1)
        self.assertEqual(self.run_tool("out.m4a", "2,5", env=env).stdout, USAGE)


if __name__ == "__main__":
    unittest.main()
