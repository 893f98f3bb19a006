#!/usr/bin/python3
"""Completes a package that wixl wrote, with what wixl 0.101 cannot author, then makes it
reproducible. It adds:
- who may control the service, and who may write its folder: a security descriptor on the
  ServiceInstall row and one on the folder's CreateFolder row (MsiLockPermissionsEx);
- the vital bit of the service's registration, so that a registration that fails fails the
  install there and then;
- SERVICEACCOUNT among the secure properties, so that the account given on the command line
  reaches the install's server side;
- the package's one custom action that runs a program: the system's own sc.exe, which sets the
  service's recovery after it is registered and before it starts (not on removal).
Then it sets the summary information's two times (created, last saved) to the commit's, and the
package code to a name-based UUID of what the package holds: of its bytes with the times set and
a nil package code, in the namespace of its ProductCode. wixl writes the rest the same every time.

    complete-package.py <package.msi> <commit time, Unix seconds>

Run it with Debian's /usr/bin/python3: it needs python3-gi and gir1.2-libmsi-1.0. The descriptors
and the recovery settings are policy.json's, from which the operator's guide's lines for a service
registered by hand are made too.
"""
import hashlib
import json
import os
import sys
import uuid

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

UNIX_EPOCH_IN_FILETIME = 11644473600  # seconds from 1601-01-01 to 1970-01-01

# Who may control the service and write its folder, and what Windows does when the service dies.
with open(os.path.join(os.path.dirname(__file__), "policy.json"), encoding="utf-8") as file:
    POLICY = json.load(file)
SERVICE_SDDL = POLICY["service"]["sddl"]
FOLDER_SDDL = POLICY["folder"]["sddl"]
RECOVERY = "failure Pelmorane " + POLICY["recovery"]["sc_failure"]

VITAL = 0x8000  # msidbServiceInstallErrorControlVital
# An executable in a directory (34), deferred (1024), as the system, not the user (2048); its
# exit code is checked, so a failure fails the install.
SYSTEM_PROGRAM_DEFERRED = 34 + 1024 + 2048
RECOVERY_SEQUENCE = 5850  # after InstallServices (5800), before StartServices (5900)

STATEMENTS = [
    "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
    "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, "
    "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
    f"`SDDLText`) VALUES ('ServiceAccess', 'Pelmorane', 'ServiceInstall', '{SERVICE_SDDL}')",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
    f"`SDDLText`) VALUES ('FolderAccess', 'INSTALLFOLDER', 'CreateFolder', '{FOLDER_SDDL}')",
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
    f"('SetRecovery', {SYSTEM_PROGRAM_DEFERRED}, '{{folder}}', "
    f"'\"[{{folder}}]sc.exe\" {RECOVERY}')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
    f"('SetRecovery', 'NOT REMOVE~=\"ALL\"', {RECOVERY_SEQUENCE})",
]


def query(db, sql):
    q = Libmsi.Query.new(db, sql)
    q.execute(None)
    return q


def value(db, sql):
    return query(db, sql).fetch().get_string(1)


def complete(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    # The 64-bit package runs the 64-bit sc.exe: some hosts it serves have no 32-bit one.
    template = Libmsi.SummaryInfo.new(db, 0).get_string(Libmsi.Property.TEMPLATE)
    folder = "System64Folder" if template.startswith("x64;") else "SystemFolder"
    for statement in STATEMENTS:
        query(db, statement.replace("{folder}", folder))
    error_control = int(value(db, "SELECT `ErrorControl` FROM `ServiceInstall`"))
    query(db, f"UPDATE `ServiceInstall` SET `ErrorControl` = {error_control | VITAL}")
    secure = value(db, "SELECT `Value` FROM `Property` WHERE `Property` = 'SecureCustomProperties'")
    query(db, f"UPDATE `Property` SET `Value` = '{secure};SERVICEACCOUNT' "
              "WHERE `Property` = 'SecureCustomProperties'")
    db.commit()


def product_code(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    return uuid.UUID(value(db, "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'"))


def set_summary(path, package_code, filetime):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    summary = Libmsi.SummaryInfo.new(db, 3)
    summary.set_string(Libmsi.Property.UUID, "{%s}" % str(package_code).upper())
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.persist()
    db.commit()


def main(path, commit_time):
    complete(path)
    filetime = (int(commit_time) + UNIX_EPOCH_IN_FILETIME) * 10**7
    set_summary(path, uuid.UUID(int=0), filetime)
    with open(path, "rb") as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    set_summary(path, uuid.uuid5(product_code(path), digest), filetime)


if __name__ == "__main__":
    main(*sys.argv[1:])
