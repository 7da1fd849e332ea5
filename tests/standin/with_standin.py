#!/usr/bin/python3
"""Runs a command while the loopback relay/bridge stand-in serves.

usage: with_standin.py [--tls] [stand-in options] -- command [args...]

The stand-in gets free ports; the command finds them in the environment as
QEL_STANDIN_RELAY_PORT, QEL_STANDIN_BRIDGE_PORT and QEL_STANDIN_CONTROL_PORT.
With --tls the bridge serves HTTPS with a self-signed certificate made for
this run. The stand-in's traffic log is printed when the command fails.
"""

import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def main():
    args = sys.argv[1:]
    if "--" not in args:
        sys.exit(__doc__)
    split = args.index("--")
    options, command = args[:split], args[split + 1:]
    tls = "--tls" in options
    options = [o for o in options if o != "--tls"]
    with tempfile.TemporaryDirectory(prefix="standin-") as temp:
        log_path = pathlib.Path(temp, "standin.log")
        if tls:
            cert, key = pathlib.Path(temp, "cert.pem"), pathlib.Path(temp, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                            "-subj", "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                           check=True, capture_output=True)
            options += ["--tls-cert", str(cert), "--tls-key", str(key)]
        standin = subprocess.Popen(
            ["/usr/bin/python3", str(HERE / "relay_bridge.py"), "--relay-port", "0", "--bridge-port", "0",
             "--control-port", "0", "--log", str(log_path), *options],
            stdout=subprocess.PIPE, text=True)
        try:
            ready = standin.stdout.readline().split()
            if not ready or ready[0] != "READY":
                print("stand-in did not start", file=sys.stderr)
                return 1
            ports = dict(word.split("=") for word in ready[1:])
            env = dict(os.environ)
            for name, port in ports.items():
                env[f"QEL_STANDIN_{name.upper()}_PORT"] = port
            result = subprocess.run(command, env=env)
            if result.returncode != 0 and log_path.exists():
                print("---- stand-in traffic ----\n" + log_path.read_text(), file=sys.stderr)
            return result.returncode
        finally:
            standin.terminate()
            standin.wait(10)


if __name__ == "__main__":
    sys.exit(main())
