#!/usr/bin/python3
"""property_flow.py <package.msi>: whether the install's server side decides alone, by the
package's tables. Each property that the server reads (its sequence's and the launch conditions,
its custom actions' targets, the registry values, the service's account) must be set there, be
the operator's or an administrator's own input, be one that Windows Installer sets, or be a secure
result of FindRelatedProducts; no step of the interface sequence may set one that the server
reads, nor a secure one, but FindRelatedProducts. AppSearch, FindRelatedProducts and
MigrateFeatureStates run on the server only where the interface sequence lacks them. Also ICE12
and ICE61. Prints a line a fault, then what the server reads; exits 1 on a fault.
"""
import re
import subprocess
import sys

WINDOWS_SETS = {"Installed", "AdminUser", "REMOVE", "ProductState", "VersionNT", "TARGETDIR",
                "ProgramFilesFolder", "ProgramFiles64Folder", "SystemFolder", "System64Folder"}
OPERATOR_INPUT = {"INSTALLFOLDER", "SERVICEACCOUNT", "REINSTALL"}
TRANSFORM_INPUT = {"SiteInstallFolder", "SiteServiceAccount"}  # private: no command line sets them
RUN_ONCE = {"AppSearch", "FindRelatedProducts", "MigrateFeatureStates"}
OPERATORS = {"NOT", "AND", "OR", "XOR", "EQV", "IMP"}


def table(package, name):
    text = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True,
                          check=True).stdout
    return [line.rstrip("\r").split("\t") for line in text.splitlines()[3:]]


def in_condition(text):
    """The properties a condition reads: not in a string, not $component, &feature, !, ?, %."""
    text = re.sub(r'"[^"]*"', "", text)
    return {name for sigil, name in re.findall(r"([$&!?%]?)([A-Za-z_][\w.]*)", text)
            if not sigil and name not in OPERATORS}


def in_formatted(text):
    return set(re.findall(r"\[([A-Za-z_][\w.]*)\]", text))


def main(package):
    ui = {row[0]: int(row[2]) for row in table(package, "InstallUISequence")}
    execute_rows = table(package, "InstallExecuteSequence")
    execute = {row[0]: int(row[2]) for row in execute_rows}
    actions = {row[0]: (int(row[1]) & 0x3F, row[2], row[3])  # kind, source, target
               for row in table(package, "CustomAction")}
    directories = {row[0] for row in table(package, "Directory")}
    found_related = [row[6] for row in table(package, "Upgrade")]
    secure = {name for row in table(package, "Property") if row[0] == "SecureCustomProperties"
              for name in row[1].split(";")}
    searched = {row[0] for row in table(package, "AppSearch")}

    def sets(action, client):
        if actions.get(action, (0,))[0] in (35, 51):
            return {actions[action][1]}
        # A private directory, costed in the client, stays there.
        costed = {d for d in directories if not client or d == d.upper()}
        return {"AppSearch": searched, "FindRelatedProducts": set(found_related),
                "CostFinalize": costed}.get(action, set())

    client = {}
    for action in ui:
        for name in sets(action, True):
            client.setdefault(name, []).append(action)
    server = set().union(*(sets(action, False) for action in execute
                           if not (action in RUN_ONCE and action in ui)))

    reads = set()
    for row in execute_rows:
        reads |= in_condition(row[1])
    for condition, description in (row[:2] for row in table(package, "LaunchCondition")):
        reads |= in_condition(condition) | in_formatted(description)
    reads |= set().union(*(in_formatted(actions[a][2]) for a in execute if a in actions))
    reads |= set().union(*(in_formatted(row[4]) for row in table(package, "Registry")))
    reads |= set().union(*(in_formatted(row[8]) for row in table(package, "ServiceInstall")))

    faults = []
    for name in sorted(set(client) | reads):
        handed_over = name in found_related and name in secure
        if name in client and not handed_over and (name in reads or name in secure):
            faults.append(f"{name}: set in the interface sequence by {' '.join(client[name])}")
        elif name in reads and not (name in server or name in WINDOWS_SETS or handed_over
                                    or name in OPERATOR_INPUT or name in TRANSFORM_INPUT):
            faults.append(f"{name}: read on the server, set there by nothing")
    for sequence, steps in (("InstallUISequence", ui), ("InstallExecuteSequence", execute)):
        costing = steps.get("CostFinalize")
        for name, at in steps.items():
            kind, target, _ = actions.get(name, (0, "", ""))
            if (kind == 35 or (kind == 51 and target in directories)) and (
                    costing is None or target not in directories or (kind == 51) != (at < costing)):
                faults.append(f"ICE12: {name} (type {kind}) sets the directory {target} at {at} "
                              f"in {sequence}, CostFinalize at {costing}")
    for name in sorted(set(found_related)):
        if found_related.count(name) > 1 or name != name.upper() or name not in secure:
            faults.append(f"ICE61: {name} is the ActionProperty of {found_related.count(name)} "
                          "Upgrade rows, or is not public and secure")
    for fault in faults:
        print(fault)
    print("the server reads:", *sorted(reads))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
