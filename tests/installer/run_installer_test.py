#!/usr/bin/env python3
"""Installer tests: the package of scripts/package under Wine's Windows Installer.

In a Wine prefix of its own (made afresh in the build folder), with Xvfb for the program's
window: install, run the installed tonelark.exe with the stand-in engine and the virtual audio
registered from the build, install the same package again, a rebuild at the same version, a newer
version, the older one over it (refused), remove it, remove it again. After each step the
registry (`wine reg query`, once `wineserver -w` has seen every process end), the program folder
and the Start menu must show the package wholly installed or wholly absent. Wine and Xvfb are
stopped on every way out (run_e2e's Session).

Usage: run_installer_test.py --build <windows-cross build> [--keep]
"""

import argparse
import filecmp
import os
import pwd
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import run_e2e as e2e  # noqa: E402  (Session, run_program, the checks)

PROGRAM_FILES = ["flutter_windows.dll", "record_windows_plugin.dll", "tonelark.exe",
                 "webview_windows_plugin.dll"]
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
OUR_KEY = r"HKLM\Software\Tonelark"
UPGRADE_CODE = "{3736EAFE-A560-4A70-8070-73CA16D9B229}"
SCENARIO = """\
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start
1100 call tonelark/guitar stop
1200 cancel tonelark/guitar_pcm
1400 close
"""
# No menu entries or file associations written into the host's home folder.
OVERRIDES = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
# msiexec's exit status is Windows Installer's code modulo 256.
SUCCESS, INSTALL_FAILURE, UNKNOWN_PRODUCT = 0, 1603 % 256, 1605 % 256


def packed_guid(guid):
    """A GUID as Windows Installer keys it in the registry: each group's hex digits reversed,
    the last two groups by byte."""
    parts = guid.strip("{}").split("-")
    tail = "".join(parts[3:])
    return "".join(p[::-1] for p in parts[:3]) + "".join(
        tail[i + 1] + tail[i] for i in range(0, len(tail), 2))


class Installer:
    def __init__(self, session, build):
        self.session = session
        self.build = build
        self.drive_c = os.path.join(session.prefix, "drive_c")
        self.folder = os.path.join(self.drive_c, "Program Files", "Tonelark")
        # Windows puts a per-machine package's shortcuts in the common Start menu; Wine 8's
        # installer in the user's.
        self.shortcuts = [os.path.join(self.drive_c, *parts, "Microsoft", "Windows", "Start Menu",
                                       "Programs", "Tonelark.lnk")
                          for parts in (["ProgramData"], ["users", pwd.getpwuid(os.getuid()).pw_name,
                                                          "AppData", "Roaming"])]
        self.steps = 0

    def wine(self, args, what):
        self.steps += 1
        return self.session.run(["wine"] + args, e2e.RUN_TIMEOUT_S,
                                os.path.join(self.session.tmp, "%02d-%s" % (self.steps, what)),
                                extra_env=OVERRIDES)

    def msiexec(self, action, package):
        """/i installs a package (a file); /x removes a product (by its code, as the entry's
        uninstall command does)."""
        code, _, _ = self.wine(["msiexec", action, package if package.startswith("{")
                                else e2e.winpath(package), "/qn"],
                               "msiexec" + action.replace("/", "-"))
        return code

    def package(self, name, version=None, app=None):
        out = os.path.join(self.session.tmp, name)
        args = [os.path.join(REPO, "scripts", "package"), "--build", self.build, "--out", out]
        args += ["--version", version] if version else []
        args += ["--app", app] if app else []
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, timeout=120)
        msi = [f for f in os.listdir(out) if f.endswith(".msi")]
        return os.path.join(out, msi[0])

    def registry(self):
        """{key: {value name: data}} under the keys a package writes or registers itself in."""
        subprocess.run(["wineserver", "-w"], env=self.session.env(), timeout=120)
        queries = " & ".join("reg query %s /s" % key for key in (
            UNINSTALL, OUR_KEY, r"HKLM\Software\Classes\Installer\UpgradeCodes",
            r"HKLM\Software\Classes\Installer\Products"))
        _, out, _ = self.wine(["cmd", "/c", queries], "reg-query")
        keys, key = {}, None
        for line in out.splitlines():
            if line.startswith("HKEY_"):
                key = keys.setdefault(line.strip().replace("HKEY_LOCAL_MACHINE", "HKLM"), {})
            elif key is not None and line.startswith("    "):
                parts = line.strip().split(None, 2)
                key[parts[0]] = parts[2] if len(parts) > 2 else ""
        return keys

    def state(self, c, installed, version=None, what=""):
        """Checks the whole package is there (at `version`) or wholly gone; returns the program
        folder's files with their sizes and times, for comparisons between steps."""
        keys = self.registry()
        entries = {k: v for k, v in keys.items()
                   if k.startswith(UNINSTALL + "\\") and v.get("DisplayName") == "Tonelark"}
        products = [k for k, v in keys.items() if v.get("ProductName") == "Tonelark"]
        upgrade = r"HKLM\Software\Classes\Installer\UpgradeCodes" + "\\" + packed_guid(
            UPGRADE_CODE)
        files = {}
        if os.path.isdir(self.folder):
            for top, dirs, names in os.walk(self.folder):
                for name in dirs + names:
                    path = os.path.join(top, name)
                    files[os.path.relpath(path, self.folder)] = (
                        os.path.getsize(path), os.path.getmtime(path))
        if not installed:
            c.equal(sorted(entries), [], "installed-programs entries %s" % what)
            c.equal(products, [], "Windows Installer products %s" % what)
            c.expect(upgrade not in keys and OUR_KEY not in keys,
                     "registry keys left %s: %s" % (what, [k for k in (upgrade, OUR_KEY)
                                                           if k in keys]))
            c.expect(not os.path.exists(self.folder), "%s left %s" % (self.folder, what))
            c.expect(not any(map(os.path.exists, self.shortcuts)), "the shortcut left %s" % what)
            return files
        if c.equal(len(entries), 1, "installed-programs entries %s" % what):
            entry = next(iter(entries.values()))
            c.equal((entry.get("Publisher"), entry.get("DisplayVersion")), ("Tonelark", version),
                    "publisher and version %s" % what)
        if c.equal(len(products), 1, "Windows Installer products %s" % what):
            # The entry's icon, as Windows Installer keeps it for the installed-programs list.
            icon = keys[products[0]].get("ProductIcon", "")
            c.expect(icon.endswith("tonelark.ico") and os.path.isfile(
                os.path.join(self.drive_c, *icon[3:].split("\\"))), "product icon %r" % icon)
        c.expect(upgrade in keys, "no upgrade code registered %s" % what)
        c.equal(keys.get(OUR_KEY, {}).get("InstallDir", "").rstrip("\\"),
                r"C:\Program Files\Tonelark", "InstallDir %s" % what)
        c.equal(sorted(files), sorted(PROGRAM_FILES + ["data"]), "program folder %s" % what)
        c.equal(sum(map(os.path.isfile, self.shortcuts)), 1, "Start menu shortcuts %s" % what)
        return files


def run_installed(session, installer, c):
    """The installed program with the stand-in engine and the virtual audio from the build, its
    scenario and output outside Program Files."""
    code, _, stderr = session.run([e2e.REGISTER_VIRTUAL_AUDIO,
                                   os.path.join(installer.build, "app", "virtual_audio.dll")],
                                  e2e.WINE_START_TIMEOUT_S, os.path.join(session.tmp, "register"),
                                  extra_env=OVERRIDES)
    if not c.expect(code == 0, "registering the virtual audio: %s" % stderr[-300:]):
        return
    run = e2e.run_program(session, installer.folder, "installed", scenario=SCENARIO,
                          extra_env=OVERRIDES)
    e2e.check_clean_end(c, run, run.report())
    replies = [m["reply"] for m in run.answered_messages() if m["what"].startswith("start")]
    c.equal(replies, [e2e.start_reply(True, e2e.DEVICE_NAME, e2e.CAPTURE_RATE, True)],
            "start's reply")
    c.expect(len(run.events(e2e.PCM_CHANNEL)) > 50, "PCM events from the installed program")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the windows-cross build folder")
    parser.add_argument("--keep", action="store_true", help="keep the packages and logs")
    options = parser.parse_args()
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, e2e.on_signal)

    build = os.path.abspath(options.build)
    prefix = os.path.join(build, "wineprefix-installer")
    shutil.rmtree(prefix, ignore_errors=True)  # every run starts with nothing installed
    session = e2e.Session(prefix, options.keep)
    c = e2e.Checks()
    try:
        session.start_xvfb()
        session.wine_started = True
        subprocess.run(["wineboot", "-i"], env=session.env(OVERRIDES), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=e2e.PREFIX_TIMEOUT_S)
        installer = Installer(session, build)
        version = open(os.path.join(build, "CMakeCache.txt")).read().split(
            "CMAKE_PROJECT_VERSION:STATIC=")[1].split()[0]
        newer_version = "%s.%d" % (version.rsplit(".", 1)[0], int(version.rsplit(".", 1)[1]) + 1)
        # The newer version's files differ from the older's: one plugin carries a mark.
        newer_app = os.path.join(session.tmp, "newer-app")
        shutil.copytree(os.path.join(build, "app"), newer_app)
        with open(os.path.join(newer_app, "record_windows_plugin.dll"), "r+b") as f:
            data = f.read()
            f.seek(data.index(b"This program cannot be run in DOS mode"))
            f.write(b"THIS")
        base = installer.package("base")
        rebuild = installer.package("rebuild")
        newer = installer.package("newer", version=newer_version, app=newer_app)
        print("installer: %s, %d bytes" % (os.path.basename(base), os.path.getsize(base)))

        c.equal(installer.msiexec("/i", base), SUCCESS, "install")
        installed = installer.state(c, True, version, "after the install")
        run_installed(session, installer, c)
        log = os.path.join(installer.drive_c, "users", pwd.getpwuid(os.getuid()).pw_name, "AppData",
                           "Local", "Tonelark", "logs", "tonelark.log")
        c.expect(os.path.isfile(log) and
                 "---- Tonelark %s started ----" % version in open(log, errors="replace").read(),
                 "no run line in %s" % log)

        installed = installer.state(c, True, version, "after the run")
        c.equal(installer.msiexec("/i", base), SUCCESS, "the same package again")
        c.equal(installer.state(c, True, version, "after the same package"), installed,
                "the program folder after the same package again")
        c.equal(installer.msiexec("/i", rebuild), SUCCESS, "a rebuild at the same version")
        installer.state(c, True, version, "after the rebuild")
        c.equal(installer.msiexec("/i", newer), SUCCESS, "the newer version")
        upgraded = installer.state(c, True, newer_version, "after the upgrade")
        extracted = os.path.join(session.tmp, "newer-files")
        subprocess.run(["msiextract", "-C", extracted, newer], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        for name in PROGRAM_FILES:
            source = os.path.join(extracted, "Tonelark", name)
            c.expect(filecmp.cmp(os.path.join(installer.folder, name), source, shallow=False),
                     "%s is not the newer version's" % name)
        c.equal(installer.msiexec("/i", base), INSTALL_FAILURE, "the older package over the newer")
        c.equal(installer.state(c, True, newer_version, "after the refusal"), upgraded,
                "the program folder after the refused downgrade")
        product = subprocess.run(["msiinfo", "export", newer, "Property"], check=True,
                                 capture_output=True, text=True).stdout.split("ProductCode\t")[1]
        product = product.split()[0]
        c.equal(installer.msiexec("/x", product), SUCCESS, "removal")
        installer.state(c, False, what="after the removal")
        c.equal(installer.msiexec("/x", product), UNKNOWN_PRODUCT, "removal again")
        installer.state(c, False, what="after the second removal")
    except (e2e.Failure, e2e.Interrupted, subprocess.SubprocessError, OSError) as e:
        c.problems.append("installer: %s" % e)
    finally:
        session.close()
    for problem in c.problems:
        print("  - " + problem)
    print("installer tests: %s" % ("FAIL" if c.problems else "ok"))
    return 1 if c.problems else 0


if __name__ == "__main__":
    sys.exit(main())
