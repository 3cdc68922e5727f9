#!/usr/bin/python3 -S
"""Stand-in for a system command inside a test world (systemctl, adcli, journalctl, ...).

Copied to /run/kxworld/bin/NAME, first on the PATH of everything in the world. Each call
appends its arguments to /run/kxworld/stubs/NAME/calls.jsonl, then answers what the test put in
/run/kxworld/stubs/NAME/answer.json: {"stdout": "...", "stderr": "...", "status": 0}.
"""

import json
import os
import sys

name = os.path.basename(sys.argv[0])
directory = f"/run/kxworld/stubs/{name}"
os.makedirs(directory, exist_ok=True)
call = {"argv": sys.argv[1:], "uid": os.getuid()}
with open(f"{directory}/calls.jsonl", "a", encoding="utf-8") as calls:
    calls.write(json.dumps(call, ensure_ascii=False) + "\n")

answer = {}
try:
    with open(f"{directory}/answer.json", encoding="utf-8") as file:
        answer = json.load(file)
except FileNotFoundError:
    pass
sys.stdout.write(answer.get("stdout", ""))
sys.stderr.write(answer.get("stderr", ""))
sys.stdout.flush()
sys.exit(answer.get("status", 0))
