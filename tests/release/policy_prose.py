#!/usr/bin/python3
"""Checks that the prose that tells operators what Windows does when the service dies (the
guide's, the packaging README's, and the current version's changelog entry where it tells it)
gives the recovery settings of packaging/policy.json: the restart delays in seconds, and "a day"
as the reset period. Each place is a pattern with its numbers in groups; a place that no longer
matches fails too, so that prose cannot drift out of the check. Earlier changelog entries are
history, as written: never checked against today's policy.

    policy_prose.py <source tree>
"""
import json
import os
import re
import subprocess
import sys

DAY = 86400
# file, pattern, optional: groups are the delays in seconds, then "day" where the reset is named.
PLACES = [
    ("packaging/operator-guide.txt", r"again after (\d+) seconds, after (\d+) seconds the\s+second"
     r" time, then after (\d+) seconds; the count starts again after a (day)", False),
    ("packaging/operator-guide.txt", r"again after (\d+), (\d+), then (\d+)\s+seconds", False),
    ("packaging/operator-guide.txt", r"Windows starts the service, and so kiv\.exe, again after"
     r" (\d+) seconds\.", False),
    ("packaging/README.md", r"service (\d+), (\d+) and then (\d+) seconds after its process", False),
    ("CHANGELOG.md", r"again (\d+) s after its process\s+dies \(then (\d+) s, then (\d+) s; the"
     r" count resets after a (day)\)", True),
]


def text_of(tree, name):
    """The file's text; of the changelog, only the current version's entry."""
    with open(os.path.join(tree, name), encoding="utf-8") as file:
        text = file.read()
    if name != "CHANGELOG.md":
        return text
    version = subprocess.run([os.path.join(tree, "packaging", "version.sh")], check=True,
                             capture_output=True, text=True).stdout.strip()
    entry = re.search(rf"^## {re.escape(version)} .*?(?=^## |\Z)", text, re.M | re.S)
    return entry.group(0) if entry else ""


def main(tree):
    with open(os.path.join(tree, "packaging", "policy.json"), encoding="utf-8") as file:
        recovery = json.load(file)["recovery"]["sc_failure"]
    reset = int(re.search(r"\breset= (\d+)", recovery).group(1))
    delays = [int(ms) // 1000 for ms in re.findall(r"restart/(\d+)", recovery)]
    failed = False
    for name, pattern, optional in PLACES:
        found = re.search(pattern, text_of(tree, name))
        if not found and optional:
            print(f"skipped: {name}: the current version's entry does not tell the policy")
            continue
        if not found:
            print(f"FAIL: {name} no longer says /{pattern}/")
            failed = True
            continue
        said = [int(g) for g in found.groups() if g != "day"]
        day = "day" in found.groups()
        expected = delays if len(said) > 1 else delays[:1]  # all of them, or the first
        if said != expected or (day and reset != DAY):
            print(f"FAIL: {name} says {said}{' and a day' if day else ''}; the policy: {recovery}")
            failed = True
        else:
            print(f"ok: {name} says {said} s{' and a day' if day else ''}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(sys.argv[1])
