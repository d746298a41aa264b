"""A private headless LibreOffice driven from Python (python3-uno), for the
tests and the benchmark: independent of the program's own office code."""
import os
import shutil
import subprocess
import tempfile
import time

import uno
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException

PROGRAM = "/usr/lib/libreoffice/program"


def props(**values):
    out = []
    for name, value in values.items():
        p = PropertyValue()
        p.Name = name
        p.Value = value
        out.append(p)
    return tuple(out)


def url(path):
    return uno.systemPathToFileUrl(os.path.abspath(path))


class Office:
    def __init__(self, autosave=True):
        self.folder = tempfile.mkdtemp(prefix="uno-office-")
        profile = os.path.join(self.folder, "profile")
        os.makedirs(os.path.join(profile, "user"))
        version = "7.4"
        with open(os.path.join(PROGRAM, "bootstraprc")) as rc:
            for line in rc:
                if line.startswith("ProductKey="):
                    version = line.strip().rsplit(" ", 1)[-1]
        with open(os.path.join(profile, "user", "registrymodifications.xcu"), "w") as xcu:
            xcu.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items xmlns:oor="http://openoffice.org/2001/registry" '
                      'xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'
                      '<item oor:path="/org.openoffice.Setup/Product"><prop oor:name="ooSetupLastVersion" oor:op="fuse">'
                      f'<value>{version}</value></prop></item>')
            if not autosave:
                xcu.write('<item oor:path="/org.openoffice.Office.Recovery/AutoSave"><prop oor:name="Enabled" oor:op="fuse">'
                          '<value>false</value></prop></item>'
                          '<item oor:path="/org.openoffice.Office.Recovery/RecoveryInfo"><prop oor:name="Enabled" oor:op="fuse">'
                          '<value>false</value></prop></item>')
            xcu.write('</oor:items>\n')
        pipe = f"unooffice{os.getpid()}"
        args = [os.path.join(PROGRAM, "soffice.bin"), "--headless", "--invisible", "--norestore",
                "--nologo", "--nodefault", "--nolockcheck",
                f"--accept=pipe,name={pipe};urp;StarOffice.ComponentContext",
                "-env:UserInstallation=" + uno.systemPathToFileUrl(profile)]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.monotonic() + 60
        while True:
            try:
                context = resolver.resolve(f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext")
                break
            except NoConnectException:
                if self.process.poll() is not None:  # a fresh profile restarts once
                    self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.context = context
        self.desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)

    def load(self, path):
        return self.desktop.loadComponentFromURL(url(path), "_blank", 0, props(Hidden=True))

    def close(self):
        try:
            self.desktop.terminate()
        except Exception:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)
