#!/usr/bin/python3
"""The options listed by `spice-client --help` are the ones the man page and the completion know."""
import os, re, subprocess, sys

exe, page, completion = sys.argv[1:4]
run = subprocess.run([exe, "--help"], capture_output=True, text=True, timeout=60,
                     env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
assert run.returncode == 1, f"--help ended with {run.returncode}"
option = re.compile(r"(?<![\w-])--?[a-z][\w-]*")
# Usage: every indented line that starts with a dash names options.
usage = {o for line in run.stdout.splitlines() if re.match(r"\s+-", line) for o in option.findall(line)}
# Man page: the tag line after each .TP that starts with a dash.
lines = open(page, encoding="utf-8").read().replace("\\-", "-").splitlines()
manual = {o for tag, line in zip(lines, lines[1:]) if tag == ".TP" and re.match(r"\.\w+ -", line)
          for o in option.findall(line.split("=")[0])}
assert usage, "no options found in the usage text:\n" + run.stdout
assert usage == manual, f"only in the usage text: {sorted(usage - manual)}; only in the man page: {sorted(manual - usage)}"
words = set(re.search(r"compgen -W '([^']*)'", open(completion, encoding="utf-8").read()).group(1).split())
assert words == {o for o in usage if o.startswith("--")}, f"completion offers {sorted(words)}; usage has {sorted(usage)}"
