"""The X display helper under parallel load: many servers started side by
side all stay up and serve clients, and a server that ends says why."""
import concurrent.futures
import contextlib
import os
import subprocess
import time
import unittest

from xdisplay import XDisplay, XDisplayError

SIDE_BY_SIDE = 24


def accepts_a_client(display):
    return subprocess.run(["xdpyinfo", "-display", display.name], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode == 0


class XDisplayTest(unittest.TestCase):
    def test_many_displays_started_side_by_side_all_stay_up(self):
        with contextlib.ExitStack() as stopping:
            with concurrent.futures.ThreadPoolExecutor(SIDE_BY_SIDE) as pool:
                starts = [pool.submit(XDisplay) for _ in range(SIDE_BY_SIDE)]
            # Every server that did start is stopped again, whatever fails.
            displays = [start.result() for start in starts if start.exception() is None]
            for display in displays:
                stopping.callback(display.close)
            for start in starts:
                start.result()
            self.assertEqual(len({d.number for d in displays}), SIDE_BY_SIDE, "distinct display numbers")
            time.sleep(2)
            for display in displays:
                display.check()
                self.assertTrue(accepts_a_client(display), f"{display.name} serves no client")

    def test_a_server_that_ended_fails_with_its_own_output(self):
        display = XDisplay()
        try:
            display.process.kill()
            display.process.wait()
            with self.assertRaisesRegex(XDisplayError, rf"the X server {display.name} ended by itself"):
                display.check()
        finally:
            with self.assertRaises(XDisplayError):
                display.close()

    def test_close_ends_the_server(self):
        display = XDisplay()
        display.close()
        self.assertIsNotNone(display.process.poll())
        self.assertFalse(os.path.exists(f"/tmp/.X{display.number}-lock"))


if __name__ == "__main__":
    unittest.main()
