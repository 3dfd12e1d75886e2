#!/usr/bin/env python3
"""The Watch by URL tab with real tools: runs dialog_test_host --url PORT
under Wine and answers its requests with Linux programs.

  NET url <URL>   zbarimg decodes the picture of the dialog the host just
                  took (more-url.bmp): exactly <URL>; curl gets the page
                  at <URL> (200, the module's HTML page).
  NET watch       curl starts watching <URL>stream.ts, and keeps on.
  NET done        that curl stops.

Each answer is "ok", or what went wrong. The host's own checks and these
decide the test together.

  url_tab.py --build BUILD_DIR --workdir DIR
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import threading


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def decode_qr(picture):
    """What zbarimg reads from the picture: the texts of the QR codes in it."""
    run = subprocess.run(["zbarimg", "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", picture],
                         capture_output=True, text=True, timeout=30)
    return [line for line in run.stdout.splitlines() if line]


class Answers:
    def __init__(self, workdir):
        self.workdir = workdir
        self.url = None
        self.viewer = None
        self.failures = []

    def answer(self, request):
        verb, _, argument = request.partition(" ")
        if verb == "url":
            return self.check_url(argument)
        if verb == "watch":
            self.viewer = subprocess.Popen(["curl", "-sS", "-o", os.devnull, "-m", "20", self.url + "stream.ts"])
            return "ok"
        if verb == "done":
            if self.viewer is not None:
                self.viewer.terminate()
                self.viewer.wait(10)
            return "ok"
        return f"unknown request {request!r}"

    def check_url(self, url):
        self.url = url
        problems = []
        picture = os.path.join(self.workdir, "more-url.bmp")
        codes = decode_qr(picture) if os.path.exists(picture) else []
        if codes != [url]:
            problems.append(f"zbarimg read {codes!r} from {picture}, not [{url!r}]")
        run = subprocess.run(["curl", "-sS", "-m", "10", "-w", "\\n%{http_code}", url],
                             capture_output=True, text=True, timeout=30)
        body, _, status = run.stdout.rpartition("\n")
        if run.returncode != 0 or status != "200" or "<html" not in body.lower() or "/stream.ts" not in body:
            problems.append(f"curl {url}: exit {run.returncode}, status {status!r}, {len(body)} bytes")
        if problems:
            self.failures.extend(problems)
            return "; ".join(problems)
        print(f"url_tab.py: zbarimg and curl agree on {url}", flush=True)
        return "ok"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--workdir", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)

    env = dict(os.environ, TOVRIN_SCREENSHOT_DIR="Z:" + os.path.abspath(args.workdir))
    command = [os.path.join(args.build, "wine-run"), "--gui", os.path.join(args.build, "tests/host/dialog_test_host.exe"),
               os.path.join(args.build, "TovrinStreamer.module"), "--url", str(free_port())]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    answers = Answers(args.workdir)
    summary = []

    # Wine's own processes may keep the pipe open after the host has ended:
    # the lines are read in a thread, and the host's exit decides.
    def read():
        for line in proc.stdout:
            line = line.rstrip("\n")
            if line.startswith("NET "):
                reply = answers.answer(line[4:])
                proc.stdin.write(reply + "\n")
                proc.stdin.flush()
            else:
                print(line, flush=True)
                if " checks passed, " in line:
                    summary.append(line)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        status = proc.wait(timeout=150)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = "timeout"
    reader.join(5)
    if answers.viewer is not None and answers.viewer.poll() is None:
        answers.viewer.kill()
    for failure in answers.failures:
        print(f"FAIL: {failure}")
    ok = status == 0 and summary and not answers.failures and answers.url is not None
    print(f"url_tab.py: host exit {status}, {len(answers.failures)} tool failures: {'PASS' if ok else 'FAIL'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
