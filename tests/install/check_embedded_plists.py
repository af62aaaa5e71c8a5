#!/usr/bin/env python3
"""Reads the two property lists back from a built helper executable and checks them.

usage: check_embedded_plists.py OBJCOPY HELPER CLIENT_BUNDLE_IDENTIFIER TEAM [OTHER_HELPER]

The sections must hold exactly an XML property list (declaration first, closing tag last, no NUL),
with exactly the expected keys in order and values made from the constants. The client
requirement must be, byte for byte, a string the executable itself carries (the text it
compiles). With OTHER_HELPER (a build with other constants), every value that comes from a
constant must differ between the two.
"""

import os
import plistlib
import subprocess
import sys
import tempfile

INFO_KEYS = ["CFBundleIdentifier", "CFBundleInfoDictionaryVersion", "CFBundleName",
             "CFBundleVersion", "SMAuthorizedClients"]
LAUNCHD_KEYS = ["Label", "Program", "StandardOutPath", "StandardErrorPath", "Sockets",
                "AssociatedBundleIdentifiers"]


class Failed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failed(what)


def sections(objcopy, helper):
    with tempfile.TemporaryDirectory() as tmp:
        out = {}
        args = [objcopy]
        for name in ("__info_plist", "__launchd_plist", ".rodata"):
            args += ["--dump-section", f"{name}={os.path.join(tmp, name)}"]
        args += [helper, os.path.join(tmp, "discard")]
        subprocess.run(args, check=True)
        for name in ("__info_plist", "__launchd_plist", ".rodata"):
            with open(os.path.join(tmp, name), "rb") as f:
                out[name] = f.read()
        return out


def ordered_keys(raw):
    # plistlib keeps the document order of a dictionary's keys.
    return list(plistlib.loads(raw, fmt=plistlib.FMT_XML).keys())


def check(objcopy, helper, client_id, team):
    s = sections(objcopy, helper)
    label = client_id + "-helper"
    for name in ("__info_plist", "__launchd_plist"):
        raw = s[name]
        expect(raw.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'),
               f"{name} does not start with the XML declaration")
        expect(raw.endswith(b"</plist>"), f"{name} does not end with the closing plist tag")
        expect(b"\0" not in raw, f"{name} holds a NUL byte")
        expect(b'<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN"' in raw,
               f"{name} lacks the property-list document type")
        expect(b'<plist version="1.0">' in raw, f"{name} lacks the plist version")

    info = plistlib.loads(s["__info_plist"], fmt=plistlib.FMT_XML)
    expect(ordered_keys(s["__info_plist"]) == INFO_KEYS,
           f"information list keys: {ordered_keys(s['__info_plist'])}")
    expect(info["CFBundleIdentifier"] == label, f"CFBundleIdentifier {info['CFBundleIdentifier']}")
    expect(info["CFBundleInfoDictionaryVersion"] == "6.0", "CFBundleInfoDictionaryVersion")
    expect(info["CFBundleName"] == "Kolvaris Update Helper", "CFBundleName")
    expect(info["CFBundleVersion"] == "1.0.0", "CFBundleVersion")
    clients = info["SMAuthorizedClients"]
    expect(isinstance(clients, list) and len(clients) == 1 and isinstance(clients[0], str),
           "SMAuthorizedClients is not an array of one string")
    requirement = clients[0]
    expect(requirement.startswith(f'identifier "{client_id}" and anchor apple generic'),
           f"requirement names another identifier: {requirement}")
    expect(f"certificate leaf[subject.OU] = {team} " in requirement,
           f"requirement names another team: {requirement}")
    # The text the helper compiles is a NUL-terminated constant in its read-only data.
    expect(b"\0" + requirement.encode() + b"\0" in s[".rodata"],
           "the requirement is not, byte for byte, a string the helper carries")

    job = plistlib.loads(s["__launchd_plist"], fmt=plistlib.FMT_XML)
    expect(ordered_keys(s["__launchd_plist"]) == LAUNCHD_KEYS,
           f"job keys: {ordered_keys(s['__launchd_plist'])}")
    expect(job["Label"] == label, "Label")
    expect(job["Program"] == "/Library/PrivilegedHelperTools/" + label, "Program")
    expect(job["StandardOutPath"] == f"/var/log/{label}.log", "StandardOutPath")
    expect(job["StandardErrorPath"] == job["StandardOutPath"],
           "StandardErrorPath differs from StandardOutPath")
    socket = job["Sockets"].get("Primary")
    expect(isinstance(socket, dict) and list(socket) == ["SockPathName", "SockPathMode"],
           f"Sockets: {job['Sockets']}")
    expect(list(job["Sockets"]) == ["Primary"], f"Sockets: {job['Sockets']}")
    expect(socket["SockPathName"] == f"/var/run/{label}.sock", "SockPathName")
    # Without a mode launchd creates the socket under its umask (077): root's alone, and the
    # application, which runs as a user, could not connect. 438 is 0666, as the systemd socket.
    # plistlib reads <integer> as int and <real> as float; bool is an int subclass, so exclude it.
    expect(type(socket["SockPathMode"]) is int and socket["SockPathMode"] == 0o666,
           f"SockPathMode {socket['SockPathMode']!r}")
    expect(job["AssociatedBundleIdentifiers"] == [client_id], "AssociatedBundleIdentifiers")
    return info, job


def main(argv):
    if len(argv) not in (5, 6):
        print(__doc__, file=sys.stderr)
        return 2
    objcopy, helper, client_id, team = argv[1:5]
    try:
        info, job = check(objcopy, helper, client_id, team)
        if len(argv) == 6:
            s = sections(objcopy, argv[5])
            other_info = plistlib.loads(s["__info_plist"], fmt=plistlib.FMT_XML)
            other_job = plistlib.loads(s["__launchd_plist"], fmt=plistlib.FMT_XML)
            for key in ("CFBundleIdentifier", "SMAuthorizedClients"):
                expect(info[key] != other_info[key], f"{key} did not change with the constants")
            for key in ("Label", "Program", "StandardOutPath", "StandardErrorPath", "Sockets",
                        "AssociatedBundleIdentifiers"):
                expect(job[key] != other_job[key], f"{key} did not change with the constants")
    except Failed as e:
        print(f"{helper}: {e}", file=sys.stderr)
        return 1
    print(f"{helper}: both property lists as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
