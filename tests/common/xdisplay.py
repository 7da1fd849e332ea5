"""The one way our tests and scripts start an X server: an Xvfb that picks a
free display number itself and claims it with its own lock file, so that no
two runs on the machine can race for a number.

Xvfb announces its number on the -displayfd pipe in two writes, the number and
then a newline. The answer is read up to that newline: a reader that closes the
pipe after the first write makes the second one fail, and Xvfb then exits
("Cannot write display number to fd"). Its own output is kept, so that a
server that fails to start or ends early can say why.
"""
import os
import select
import subprocess
import tempfile
import time

SCREEN = "1280x800x24"


class XDisplayError(RuntimeError):
    pass


class XDisplay:
    """A running Xvfb; `name` is its DISPLAY value, such as ":3"."""

    def __init__(self, timeout=30):
        self.output = tempfile.TemporaryFile()
        ready_read, ready_write = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(ready_write), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=self.output,
                stderr=subprocess.STDOUT)
        except OSError as error:
            os.close(ready_read)
            os.close(ready_write)
            raise XDisplayError(f"Xvfb cannot be started ({error}): install Debian's xvfb package "
                                "(scripts/setup.sh does)") from None
        os.close(ready_write)
        try:
            answer = self._read_line(ready_read, timeout)
        finally:
            os.close(ready_read)
        if not answer.strip().isdigit():
            self.process.kill()
            self.process.wait()
            raise XDisplayError(f"Xvfb did not start (exit status {self.process.returncode}): "
                                f"{self.errors() or 'no output'}")
        self.number = int(answer)
        self.name = f":{self.number}"

    def _read_line(self, fd, timeout):
        """The -displayfd answer up to its newline; what came before the end of
        the pipe, or before the time ran out, when no newline came."""
        answer = b""
        deadline = time.monotonic() + timeout
        while not answer.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                break
            chunk = os.read(fd, 64)
            if not chunk:
                break
            answer += chunk
        return answer.decode(errors="replace") if answer.endswith(b"\n") else ""

    def errors(self):
        """Everything the server has written so far."""
        self.output.seek(0)
        return self.output.read().decode(errors="replace").strip()

    def check(self):
        """Raises with the server's own output once it has ended."""
        if self.process.poll() is not None:
            raise XDisplayError(f"the X server {self.name} ended by itself (exit status "
                                f"{self.process.returncode}): {self.errors() or 'no output'}")

    def close(self):
        """Stops the server; raises when it had already ended by itself."""
        if self.output.closed:
            return
        try:
            self.check()
        finally:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.output.close()
