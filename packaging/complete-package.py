#!/usr/bin/python3
"""Completes a package that wixl wrote, with what wixl 0.101 cannot author, then makes it
reproducible. It adds:
- who may control the service, and who may write its folder: a security descriptor on the
  ServiceInstall row and one on the folder's CreateFolder row (MsiLockPermissionsEx);
- the vital bit of the service's registration, so that a registration that fails fails the
  install there and then;
- SERVICEACCOUNT and INSTALLFOLDER among the secure properties, so that the account and the
  folder given on the command line reach the install's server side;
- an interface sequence that searches and judges nothing: AppSearch and LaunchConditions taken
  out of it, so that both run on the server side (in the interface sequence AppSearch would run
  there alone, and hand over nothing it found);
- the search for the folder of the installed Service component, of whichever version or line
  of this arch installed it, into INSTALLEDFOLDER: a CompLocator row of type 1 (its key path is
  a file; with no Signature row, the search gives that file's folder, with a trailing
  backslash) and its AppSearch row;
- the package's one custom action that runs a program: the system's own sc.exe, which sets the
  service's recovery after it is registered and before it starts (not on removal);
- the refusals, which pelmorane.wxs authors as actions that set a property (its Value the
  message) and schedules after InstallValidate: each made an error action, which fails the
  install there, before the install's script;
- each file's version and language, read from its version resource, in place of its hash: wixl
  writes no File.Version and hashes every file, as if none were versioned;
- the removal of an older version inside the install's script, after InstallExecute: the new
  version is installed over the old one, the old one's removal then takes only what the new one
  no longer holds, and a failure rolls both back.
Then it sets the summary information's two times (created, last saved) to the commit's, and the
package code to a name-based UUID of what the package holds: of its bytes with the times set and
a nil package code, in the namespace of its ProductCode. wixl writes the rest the same every time.

    complete-package.py <package.msi> <commit time, Unix seconds> <File key>=<its file>...

Run it with Debian's /usr/bin/python3: it needs python3-gi and gir1.2-libmsi-1.0. The descriptors
and the recovery settings are policy.json's, from which the operator's guide's lines for a service
registered by hand are made too.
"""
import hashlib
import json
import os
import struct
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
LOCATOR_FILE = 1  # msidbLocatorTypeFileName: the component's key path is a file
# An executable in a directory (34), deferred (1024), as the system, not the user (2048); its
# exit code is checked, so a failure fails the install.
SYSTEM_PROGRAM_DEFERRED = 34 + 1024 + 2048
RECOVERY_SEQUENCE = 5850  # after InstallServices (5800), before StartServices (5900)
ERROR = 19  # shows its Target as an error and fails the install
REFUSALS = ("RefuseOtherFolder", "RefuseNoFolder", "OnlyAdministratorsChoose")
INSTALL_EXECUTE = 6500  # runs the script so far; then the old version's removal, in the same
REMOVE_OLD_VERSION = 6550  # transaction, before InstallFinalize (6600)

STATEMENTS = [
    "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
    "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, "
    "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
    f"`SDDLText`) VALUES ('ServiceAccess', 'Pelmorane', 'ServiceInstall', '{SERVICE_SDDL}')",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
    f"`SDDLText`) VALUES ('FolderAccess', 'ServiceFolder', 'CreateFolder', '{FOLDER_SDDL}')",
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
    f"('SetRecovery', {SYSTEM_PROGRAM_DEFERRED}, '{{folder}}', "
    f"'\"[{{folder}}]sc.exe\" {RECOVERY}')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
    f"('SetRecovery', 'NOT REMOVE~=\"ALL\"', {RECOVERY_SEQUENCE})",
    *(f"UPDATE `CustomAction` SET `Type` = {ERROR}, `Source` = '' WHERE `Action` = '{action}'"
      for action in REFUSALS),
    "DELETE FROM `InstallUISequence` WHERE `Action` = 'AppSearch'",
    "DELETE FROM `InstallUISequence` WHERE `Action` = 'LaunchConditions'",
    "CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, "
    "`Type` SHORT PRIMARY KEY `Signature_`)",
    "INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES "
    f"('InstalledFolder', '{{service}}', {LOCATOR_FILE})",
    "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('INSTALLEDFOLDER', 'InstalledFolder')",
    "DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RemoveExistingProducts'",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    f"('InstallExecute', {INSTALL_EXECUTE})",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
    f"('RemoveExistingProducts', {REMOVE_OLD_VERSION})",
]


def query(db, sql):
    q = Libmsi.Query.new(db, sql)
    q.execute(None)
    return q


def value(db, sql):
    return query(db, sql).fetch().get_string(1)


def version_resource(path):
    """The file's fixed file version ("a.b.c.d") and its first translation's language, or None
    for a file without a version resource."""
    with open(path, "rb") as file:
        data = file.read()
    at = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    signature = data.find(struct.pack("<I", 0xFEEF04BD), at, at + 64) if at >= 0 else -1
    if signature < 0:
        return None
    most, least = struct.unpack_from("<II", data, signature + 8)
    version = f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"
    key = "Translation".encode("utf-16-le") + b"\0\0"
    translation = data.find(key, signature)
    if translation < 0:
        return version, ""
    language = struct.unpack_from("<H", data, (translation + len(key) + 3) & ~3)[0]
    return version, str(language)


def set_versions(db, files):
    """A versioned file gets its version and language and loses its hash, which Windows Installer
    keeps for unversioned files; an unversioned one keeps its hash."""
    for key, path in files.items():
        found = version_resource(path)
        if found:
            version, language = found
            query(db, f"UPDATE `File` SET `Version` = '{version}', `Language` = '{language}' "
                      f"WHERE `File` = '{key}'")
            query(db, f"DELETE FROM `MsiFileHash` WHERE `File_` = '{key}'")


def complete(path, files):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    # The 64-bit package runs the 64-bit sc.exe: some hosts it serves have no 32-bit one.
    template = Libmsi.SummaryInfo.new(db, 0).get_string(Libmsi.Property.TEMPLATE)
    folder = "System64Folder" if template.startswith("x64;") else "SystemFolder"
    service = value(db, "SELECT `ComponentId` FROM `Component` WHERE `Component` = 'Service'")
    for statement in STATEMENTS:
        query(db, statement.replace("{folder}", folder).replace("{service}", service))
    error_control = int(value(db, "SELECT `ErrorControl` FROM `ServiceInstall`"))
    query(db, f"UPDATE `ServiceInstall` SET `ErrorControl` = {error_control | VITAL}")
    secure = value(db, "SELECT `Value` FROM `Property` WHERE `Property` = 'SecureCustomProperties'")
    query(db, f"UPDATE `Property` SET `Value` = '{secure};SERVICEACCOUNT;INSTALLFOLDER' "
              "WHERE `Property` = 'SecureCustomProperties'")
    set_versions(db, files)
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


def main(path, commit_time, *files):
    complete(path, dict(file.split("=", 1) for file in files))
    filetime = (int(commit_time) + UNIX_EPOCH_IN_FILETIME) * 10**7
    set_summary(path, uuid.UUID(int=0), filetime)
    with open(path, "rb") as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    set_summary(path, uuid.uuid5(product_code(path), digest), filetime)


if __name__ == "__main__":
    main(*sys.argv[1:])
