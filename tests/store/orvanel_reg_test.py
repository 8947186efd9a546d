#!/usr/bin/env python3
"""Black-box test of orvanel-reg: runs the tool against a private hive file
and checks its output, exit codes and the file it leaves."""
import os
import shlex
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]
FAILURES = []


def run(env, *args):
    p = subprocess.run([TOOL, *args], env=env, capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout, p.stderr


def check(cond, what):
    if not cond:
        FAILURES.append(what)
        print("FAIL:", what)


def expect_ok(env, *args):
    rc, out, err = run(env, *args)
    check(rc == 0 and "The operation completed successfully." in out and err == "",
          f"{args}: expected success, got rc={rc} out={out!r} err={err!r}")


def expect_error(env, needle, *args, code=1):
    """One ERROR: line on stderr with the exit code: 1 for a failure, 2 for a
    command line that makes no sense."""
    rc, out, err = run(env, *args)
    lines = err.strip().splitlines()
    check(rc == code and out == "" and len(lines) == 1 and lines[0].startswith("ERROR: ") and needle in lines[0],
          f"{args}: expected one-line error with {needle!r} and code {code}, got rc={rc} out={out!r} err={err!r}")


NOT_FOUND = "unable to find the specified registry key or value"


def main():
    with tempfile.TemporaryDirectory() as tmp:
        hklm = os.path.join(tmp, "etc", "hklm.reg")
        hkcu = os.path.join(tmp, "home", "hkcu.reg")
        env = dict(os.environ, ORVANEL_HKLM=hklm, ORVANEL_HKCU=hkcu)
        key = r"HKLM\Software\Orvanel\Kestrel"
        access = key + r"\Access"

        # Adding: short and long roots, '/' and '-' switches in any case.
        expect_ok(env, "add", key, "/v", "RootDirectory", "/d", "/srv/tftp/", "/f")
        expect_ok(env, "ADD", r"hkey_local_machine\software\orvanel\kestrel", "-V", "Port", "-D", "69", "-F")
        expect_ok(env, "add", access, "/v", "AccessControl", "/t", "REG_SZ", "/d", "1")
        expect_ok(env, "add", access, "/v", r"%root%\0", "/d", "r")
        expect_ok(env, "add", access, "/v", r"pub\0", "/d", "rwo,192.168.1.10-192.168.1.50")
        expect_ok(env, "add", r"HKCU\Software\Orvanel\Kestrel", "/v", "Port", "/d", "1069")

        # A name the server does not read is stored, with a warning that
        # names the nearest one; known names in any case, other keys and the
        # user hive get none.
        rc, out, err = run(env, "add", key, "/v", "Prot", "/d", "70", "/f")
        check(rc == 0 and "The operation completed successfully." in out, f"unknown name still added: {rc} {out!r}")
        check(err == 'WARNING: No program of the suite reads a value named "Prot" in this key; it has no effect. '
                     'Did you mean "Port"?\n', f"unknown name warning: {err!r}")
        rc, out, err = run(env, "add", key, "/v", "Zebra", "/d", "1", "/f")
        check(rc == 0 and err == 'WARNING: No program of the suite reads a value named "Zebra" in this key; it '
                                 'has no effect.\n', f"warning without a near name: {err!r}")
        expect_ok(env, "add", key, "/v", "windowsizemax", "/d", "16", "/f")
        expect_ok(env, "add", key, "/v", "LogDirectory", "/d", "/var/log/orvanel-tftp", "/f")
        expect_ok(env, "add", r"HKCU\Software\Orvanel\Kestrel", "/v", "left", "/d", "10")
        expect_ok(env, "delete", key, "/v", "Prot", "/f")
        expect_ok(env, "delete", key, "/v", "Zebra", "/f")
        expect_ok(env, "delete", key, "/v", "windowsizemax", "/f")
        expect_ok(env, "delete", key, "/v", "LogDirectory", "/f")
        expect_ok(env, "delete", r"HKCU\Software\Orvanel\Kestrel", "/v", "left", "/f")

        with open(hklm, encoding="latin-1") as f:
            text = f.read()
        check(text.startswith("REGEDIT4\n\n"), "file header")
        check('"RootDirectory"="/srv/tftp/"\n' in text, "root directory line")
        check('"Port"="69"\n' in text, "port stored as text")
        check('"%root%\\\\0"="r"\n' in text, "rule name escaped in file")
        check("[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access]\n" in text, "access section")
        check(os.path.exists(hkcu) and '"Port"="1069"' in open(hkcu).read(), "user hive written separately")

        # Query a key: values in reg.exe layout, then subkeys.
        rc, out, _ = run(env, "query", key)
        check(rc == 0, "query key exit code")
        lines = out.splitlines()
        check("HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel" in lines, f"query header: {out!r}")
        check("    RootDirectory    REG_SZ    /srv/tftp/" in lines, f"query value line: {out!r}")
        check("    Port    REG_SZ    69" in lines, f"query port line: {out!r}")
        check("HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access" in lines, f"query subkey: {out!r}")

        rc, out, _ = run(env, "query", access, "/v", "PUB\\0")
        check(rc == 0 and "    pub\\0    REG_SZ    rwo,192.168.1.10-192.168.1.50" in out.splitlines(),
              f"query one value: rc={rc} {out!r}")
        check("%root%" not in out, "query /v shows only that value")

        rc, out, _ = run(env, "query", r"HKLM\Software", "/s")
        check(rc == 0 and "    AccessControl    REG_SZ    1" in out.splitlines()
              and "    RootDirectory    REG_SZ    /srv/tftp/" in out.splitlines(), f"query /s: {out!r}")

        rc, out, _ = run(env, "query", r"HKCU\Software\Orvanel\Kestrel", "/v", "port")
        check(rc == 0 and "    Port    REG_SZ    1069" in out.splitlines(), f"query user hive: {out!r}")

        # Values written by other tools keep their type and text.
        with open(hklm, "a") as f:
            f.write('[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Harrier]\n"Port"=dword:00000045\n'
                    '"Blob"=hex:01,02,\\\n  03\n')
        rc, out, _ = run(env, "query", r"HKLM\Software\Orvanel\Harrier")
        check(rc == 0 and "    Port    REG_DWORD    dword:00000045" in out.splitlines()
              and "    Blob    REG_BINARY    hex:01,02,03" in out.splitlines(), f"other types: {out!r}")
        expect_ok(env, "add", r"HKLM\Software\Orvanel\Harrier", "/v", "Other", "/d", "x")
        check('"Port"=dword:00000045\n"Blob"=hex:01,02,\\\n  03\n' in open(hklm).read(),
              "other types survive a rewrite")

        # Missing keys and values.
        expect_error(env, NOT_FOUND, "query", r"HKLM\Software\Nothing")
        expect_error(env, NOT_FOUND, "query", key, "/v", "Nothing")
        expect_error(env, NOT_FOUND, "delete", key, "/v", "Nothing", "/f")
        expect_error(env, NOT_FOUND, "delete", r"HKLM\Software\Nothing", "/f")
        expect_error(env, NOT_FOUND, "delete", r"HKLM\Software\Nothing", "/va", "/f")

        # Refused usage.
        expect_error(env, "REG_SZ", "add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "69")
        expect_error(env, "key name", "add", r"HKCR\Software", "/v", "x", "/d", "y", code=2)
        expect_error(env, "key name", "query", r"Software\Orvanel", code=2)
        expect_error(env, "Invalid syntax", "add", key, "/v", code=2)
        expect_error(env, "Invalid syntax", "add", key, "/v", "a", "/x", "b", code=2)
        expect_error(env, "Invalid syntax", "query", key, "/v", "a", "/v", "b", code=2)
        expect_error(env, "Invalid syntax", "delete", key, "/v", "a", "/va", code=2)
        expect_error(env, "Invalid syntax", "query", code=2)
        expect_error(env, "Invalid syntax", code=2)
        expect_error(env, "Invalid operation", "copy", key, code=2)
        rc, out, _ = run(env, "/?")
        check(rc == 0 and "orvanel-reg add" in out, "usage")
        rc, out, _ = run(env, "add", "-?")
        check(rc == 0 and "orvanel-reg add" in out, "usage after an operation")
        # The usage's examples work as printed (a shell's quoting taken off).
        examples = out.split("Examples:\n", 1)[-1].splitlines()
        check(any("WindowsizeMax" in line for line in examples), f"no WindowsizeMax example: {out!r}")
        for line in examples:
            words = shlex.split(line)
            check(words[:1] == ["orvanel-reg"], f"example {line!r}")
            rc, said, err = run(env, *words[1:])
            check(rc == 0 and err == "", f"example {line!r}: rc={rc} err={err!r}")
        rc, said, _ = run(env, "query", key, "/v", "WindowsizeMax")
        check(rc == 0 and "    WindowsizeMax    REG_SZ    16" in said.splitlines(), f"example value: {said!r}")
        expect_ok(env, "add", key, "/v", "Language", "/d", "/?")
        rc, out, _ = run(env, "query", key, "/v", "language")
        check(rc == 0 and "    Language    REG_SZ    /?" in out.splitlines(), f"data that looks like a switch: {out!r}")

        # A file in place of the hive's directory: writing fails cleanly.
        bad = dict(env, ORVANEL_HKLM=os.path.join(hklm, "x.reg"))
        expect_error(bad, "Cannot write", "add", key, "/v", "a", "/d", "b")

        # Deleting a value, all values, and a key with its subkeys.
        expect_ok(env, "delete", access, "/v", r"%ROOT%\0", "/f")
        rc, _, _ = run(env, "query", access, "/v", r"%root%\0")
        check(rc == 1, "deleted value is gone")
        rc, out, _ = run(env, "query", access, "/v", r"pub\0")
        check(rc == 0, "other value stays")

        expect_ok(env, "delete", access, "/va", "/f")
        rc, out, _ = run(env, "query", access)
        check(rc == 0 and "REG_SZ" not in out, f"key stays without values: rc={rc} {out!r}")

        expect_ok(env, "delete", key, "/f")
        rc, _, _ = run(env, "query", key)
        check(rc == 1, "deleted key is gone")
        rc, _, _ = run(env, "query", access)
        check(rc == 1, "subkey of deleted key is gone")
        rc, out, _ = run(env, "query", r"HKLM\Software\Orvanel\Harrier", "/v", "Port")
        check(rc == 0, "sibling key stays")
        expect_error(env, "root", "delete", "HKLM", "/f")

        # Piped, with no terminal and no input: never waits for an answer.
        p = subprocess.run([TOOL, "delete", r"HKLM\Software\Orvanel\Harrier"], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        check(p.returncode == 0, "delete without /f does not prompt")

    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed")
        return 1
    print("all orvanel-reg checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
