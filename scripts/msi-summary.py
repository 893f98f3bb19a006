#!/usr/bin/python3
"""Makes a package that wixl wrote reproducible: sets its summary information's two times
(created, last saved) to the commit's, and its package code to a name-based UUID of what the
package holds: of its bytes with the times set and a nil package code, in the namespace of its
ProductCode. wixl writes the rest of the package the same every time.

    msi-summary.py <package.msi> <commit time, Unix seconds>

Run it with Debian's /usr/bin/python3: it needs python3-gi and gir1.2-libmsi-1.0.
"""
import hashlib
import sys
import uuid

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

UNIX_EPOCH_IN_FILETIME = 11644473600  # seconds from 1601-01-01 to 1970-01-01


def product_code(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    query = Libmsi.Query.new(db, "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'")
    query.execute(None)
    return uuid.UUID(query.fetch().get_string(1))


def set_summary(path, package_code, filetime):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    summary = Libmsi.SummaryInfo.new(db, 3)
    summary.set_string(Libmsi.Property.UUID, "{%s}" % str(package_code).upper())
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.persist()
    db.commit()


def main(path, commit_time):
    filetime = (int(commit_time) + UNIX_EPOCH_IN_FILETIME) * 10**7
    set_summary(path, uuid.UUID(int=0), filetime)
    with open(path, "rb") as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    set_summary(path, uuid.uuid5(product_code(path), digest), filetime)


if __name__ == "__main__":
    main(*sys.argv[1:])
