#!/usr/bin/python3
"""Checks that the prose that tells operators what Windows does when the service dies (the
guide's, the changelog's and the packaging README's) gives the recovery settings of
packaging/policy.json: the restart delays in seconds, and "a day" as the reset period. Each place
is a pattern with its numbers in groups; a place that no longer matches fails too, so that prose
cannot drift out of the check.

    policy_prose.py <source tree>
"""
import json
import os
import re
import sys

DAY = 86400
# file, pattern: groups are the delays in seconds, then "day" where the reset is named.
PLACES = [
    ("packaging/operator-guide.txt", r"again after (\d+) seconds, after (\d+) seconds the\s+second"
     r" time, then after (\d+) seconds; the count starts again after a (day)"),
    ("packaging/operator-guide.txt", r"again after (\d+), (\d+), then (\d+)\s+seconds"),
    ("packaging/operator-guide.txt", r"Windows starts the service, and so kiv\.exe, again after"
     r" (\d+) seconds\."),
    ("CHANGELOG.md", r"again (\d+) s after its process\s+dies \(then (\d+) s, then (\d+) s; the"
     r" count resets after a (day)\)"),
    ("packaging/README.md", r"service (\d+), (\d+) and then (\d+) seconds after its process"),
]


def main(tree):
    with open(os.path.join(tree, "packaging", "policy.json"), encoding="utf-8") as file:
        recovery = json.load(file)["recovery"]["sc_failure"]
    reset = int(re.search(r"\breset= (\d+)", recovery).group(1))
    delays = [int(ms) // 1000 for ms in re.findall(r"restart/(\d+)", recovery)]
    failed = False
    for name, pattern in PLACES:
        with open(os.path.join(tree, name), encoding="utf-8") as file:
            found = re.search(pattern, file.read())
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
