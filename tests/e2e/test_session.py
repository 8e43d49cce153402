"""Runs the in-process session test against a real SPICE server."""

import os
import subprocess
import unittest

from harness import E2ETestCase


class TestSession(E2ETestCase):
    def test_handlers_and_sessions_across_reconnections(self):
        exe = os.environ.get("SESSION_HANDLERS")
        if not exe:
            self.skipTest("SESSION_HANDLERS is not set")
        xspice = self.env.start_xspice(1024, 768, audio=False)
        self.env.start_recorder(xspice.display)
        env = self.env.base_env()
        env["SPICE_TEST_PORT"] = str(xspice.port)
        result = subprocess.run([exe], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=240)
        with open(self.env.path("session_handlers.log"), "w") as f:
            f.write(result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, result.stdout[-4000:] + result.stderr[-2000:])
        self.assertIn("Totals: 4 passed, 0 failed", result.stdout)


if __name__ == "__main__":
    unittest.main()
