#!/usr/bin/env python3
"""Installer tests: the package of scripts/package under Wine's Windows Installer, in a prefix
made afresh in the build folder (the only argument). After each step the registry, the program
folder and the Start menu show the package wholly installed or wholly gone."""

import os
import pwd
import re
import shutil
import signal
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import run_e2e as e2e  # noqa: E402  (Session, run_program, the checks)

PROGRAM_FILES = ["data", "flutter_windows.dll", "record_windows_plugin.dll", "tonelark.exe",
                 "webview_windows_plugin.dll"]
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
INSTALLER = r"HKLM\Software\Classes\Installer"
OUR_KEY = r"HKLM\Software\Tonelark"
# No menu entries or file associations written into the host's home folder.
OVERRIDES = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
MARK = b"THIS program cannot"  # in the DOS stub, which stripping keeps
# msiexec's exit status is Windows Installer's code modulo 256.
SUCCESS, INSTALL_FAILURE, UNKNOWN_PRODUCT = 0, 1603 % 256, 1605 % 256


class Installer:
    def __init__(self, session, build):
        self.session, self.build = session, build
        self.drive_c = os.path.join(session.prefix, "drive_c")
        self.folder = os.path.join(self.drive_c, "Program Files", "Tonelark")
        # Windows puts a per-machine package's shortcuts in the common Start menu, Wine 8's
        # installer in the user's.
        self.shortcuts = [os.path.join(self.drive_c, *parts, "Microsoft", "Windows", "Start Menu",
                                       "Programs", "Tonelark.lnk") for parts in (
            ["ProgramData"], ["users", pwd.getpwuid(os.getuid()).pw_name, "AppData", "Roaming"])]

    def wine(self, args):
        return self.session.run(["wine"] + args, e2e.RUN_TIMEOUT_S,
                                os.path.join(self.session.tmp, "wine"), extra_env=OVERRIDES)

    def msiexec(self, action, target):
        """/i a package file; /x a product code, as the entry's uninstall command does."""
        return self.wine(["msiexec", action, target if target.startswith("{")
                          else e2e.winpath(target), "/qn"])[0]

    def package(self, name, *options):
        out = os.path.join(self.session.tmp, name)
        subprocess.run([os.path.join(REPO, "scripts", "package"), "--build", self.build, "--out",
                        out] + list(options), check=True, stdout=subprocess.DEVNULL, timeout=120)
        return os.path.join(out, next(f for f in os.listdir(out) if f.endswith(".msi")))

    def registry(self):
        """{key: {value name: data}} under the keys a package writes or is registered in."""
        subprocess.run(["wineserver", "-w"], env=self.session.env(), timeout=120)
        _, out, _ = self.wine(["cmd", "/c", " & ".join("reg query %s /s" % key for key in (
            UNINSTALL, OUR_KEY, INSTALLER + r"\UpgradeCodes", INSTALLER + r"\Products"))])
        keys, key = {}, {}
        for line in out.splitlines():
            if line.startswith("HKEY_"):
                key = keys.setdefault(line.strip().replace("HKEY_LOCAL_MACHINE", "HKLM"), {})
            elif line.startswith("    "):
                parts = line.split(None, 2) + [""]
                key[parts[0]] = parts[2]
        return keys

    def state(self, c, version, what):
        """Checks the package is wholly installed at `version`, or wholly gone (None); returns
        the program folder's entries with their sizes and times, to compare steps."""
        keys = self.registry()
        ours = {"installed-programs entries": [k for k, v in keys.items() if k.startswith(
                    UNINSTALL + "\\") and v.get("DisplayName") == "Tonelark"],
                "products": [k for k, v in keys.items() if v.get("ProductName") == "Tonelark"],
                "upgrade codes": [k for k in keys if k.startswith(INSTALLER + "\\UpgradeCodes\\")],
                "InstallDir": [v["InstallDir"] for k, v in keys.items() if k == OUR_KEY],
                "Start menu shortcuts": [p for p in self.shortcuts if os.path.isfile(p)]}
        files = {e.name: (e.stat().st_size, e.stat().st_mtime)
                 for e in (os.scandir(self.folder) if os.path.isdir(self.folder) else [])}
        for name, found in ours.items():
            c.equal(len(found), 1 if version else 0, "%s %s" % (name, what))
        c.equal(sorted(files) if os.path.exists(self.folder) else None,
                PROGRAM_FILES if version else None, "program folder %s" % what)
        if not version:
            return files
        c.equal(ours["InstallDir"][:1], ["C:\\Program Files\\Tonelark\\"], "InstallDir " + what)
        entry = keys.get((ours["installed-programs entries"] or [""])[0], {})
        c.equal((entry.get("Publisher"), entry.get("DisplayVersion")), ("Tonelark", version),
                "publisher and version %s" % what)
        # The entry's icon, where Windows Installer keeps it for the installed-programs list.
        icon = keys.get((ours["products"] or [""])[0], {}).get("ProductIcon", "")
        c.expect(icon.endswith("tonelark.ico") and os.path.isfile(
            os.path.join(self.drive_c, *icon[3:].split("\\"))), "product icon %r" % icon)
        return files


def run_installed(session, installer, c):
    """The installed program with the stand-in engine and the virtual audio from the build, its
    scenario and output outside Program Files; its log where a player's would be."""
    code, _, stderr = session.run([e2e.REGISTER_VIRTUAL_AUDIO, os.path.join(
        installer.build, "app", "virtual_audio.dll")], e2e.WINE_START_TIMEOUT_S,
        os.path.join(session.tmp, "register"), extra_env=OVERRIDES)
    c.equal(code, 0, "registering the virtual audio: %s" % stderr[-300:])
    run = e2e.run_program(session, installer.folder, "installed", scenario=e2e.MAIN_SCENARIO,
                          extra_env=OVERRIDES)
    e2e.check_clean_end(c, run, run.report())
    c.equal([m["reply"] for m in run.answered_messages()][:3],
            [reply for _, _, reply in e2e.MAIN_REPLIES[:3]], "replies up to start's")
    c.expect(len(run.events(e2e.PCM_CHANNEL)) > 50, "PCM events from the installed program")
    e2e.check_log(c, session, run)


def main():
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, e2e.on_signal)
    build = os.path.abspath(sys.argv[1])
    prefix = os.path.join(build, "wineprefix-installer")
    shutil.rmtree(prefix, ignore_errors=True)  # every run starts with nothing installed
    session, c = e2e.Session(prefix, False), e2e.Checks()
    try:
        session.start_xvfb()
        session.wine_started = True  # from here on, close() stops the prefix's wineserver
        subprocess.run(["wineboot", "-i"], env=session.env(OVERRIDES), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=e2e.PREFIX_TIMEOUT_S)
        installer = Installer(session, build)
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            version = re.search(r"CMAKE_PROJECT_VERSION:STATIC=(\S+)", f.read()).group(1)
        newer_version = re.sub(r"\d+$", lambda m: str(int(m.group()) + 1), version)
        # The newer version's files differ from the older's: one plugin carries a mark.
        newer_app = os.path.join(session.tmp, "newer-app")
        shutil.copytree(os.path.join(build, "app"), newer_app)
        with open(os.path.join(newer_app, "record_windows_plugin.dll"), "r+b") as f:
            f.seek(f.read().index(b"This program cannot"))
            f.write(MARK)
        base, rebuild = installer.package("base"), installer.package("rebuild")
        newer = installer.package("newer", "--version", newer_version, "--app", newer_app)

        properties = subprocess.run(["msiinfo", "export", newer, "Property"], check=True,
                                    capture_output=True, text=True).stdout
        product = properties.split("ProductCode\t")[1].split()[0]
        # (msiexec's arguments, its exit status, the version installed after, the step; whether
        # the program folder stays as it was)
        for action, target, code, now, what, unchanged in (
                ("/i", base, SUCCESS, version, "the install", False),
                ("/i", base, SUCCESS, version, "the same package again", True),
                ("/i", rebuild, SUCCESS, version, "a rebuild at the same version", False),
                ("/i", newer, SUCCESS, newer_version, "the newer version", False),
                ("/i", base, INSTALL_FAILURE, newer_version, "the older over the newer", True),
                ("/x", product, SUCCESS, None, "the removal", False),
                ("/x", product, UNKNOWN_PRODUCT, None, "the removal again", True)):
            c.equal(installer.msiexec(action, target), code, "msiexec for " + what)
            files = installer.state(c, now, "after " + what)
            c.expect(not unchanged or files == before, "the program folder changed by " + what)
            before = files
            if what == "the install":
                run_installed(session, installer, c)
            elif what == "the newer version":
                with open(os.path.join(installer.folder, "record_windows_plugin.dll"), "rb") as f:
                    c.expect(MARK in f.read(), "the plugin installed is not the newer one's")
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
