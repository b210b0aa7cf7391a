#!/usr/bin/python3
"""Makes a package built by wixl reproducible: sets its summary information's dates to EPOCH
(seconds since 1970, SOURCE_DATE_EPOCH) and its PackageCode (the summary's revision number) to a
name-based UUID of the package's content, so that it changes exactly when the content does.

wixl stamps the current time and a random PackageCode, whatever the source says.
Usage: msi_summary.py PACKAGE EPOCH (rewrites PACKAGE in place)
"""
import hashlib
import sys
import uuid

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

# Stands in for the PackageCode while the content is hashed.
PLACEHOLDER = "{00000000-0000-0000-0000-000000000000}"
# Seconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
FILETIME_EPOCH_OFFSET = 11644473600


def write_summary(path, filetime, package_code):
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    summary = Libmsi.SummaryInfo.new(database, 3)
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.set_string(Libmsi.Property.UUID, package_code)
    summary.persist()
    database.commit()


def main(argv):
    if len(argv) != 3 or not argv[2].isdigit():
        sys.stderr.write("usage: msi_summary.py PACKAGE EPOCH\n")
        return 2
    path, epoch = argv[1], int(argv[2])
    filetime = (epoch + FILETIME_EPOCH_OFFSET) * 10_000_000
    write_summary(path, filetime, PLACEHOLDER)
    with open(path, "rb") as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    code = uuid.uuid5(uuid.NAMESPACE_URL, "urn:kq5:package:sha256:" + digest)
    write_summary(path, filetime, "{%s}" % str(code).upper())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
