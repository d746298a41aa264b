"""The peer: the batch's work on one folder written directly against
python3-uno, as a user would write it instead of running the program. It does
what the program does for a file: loads it hidden with macros off, links not
updated and every question answered "abort"; finds with the same literal
search; replaces only where found; stores only a changed file, through a
synced temporary file beside it and a rename (the folder synced after); in a workbook, walks every sheet, keeps
their names and leaves the last one active. Its office runs with autosave off,
as the program's does.

Usage: baseline.py doc|xls FOLDER FIND REPLACE
Prints "file NS" as each file is done (NS: the system clock's nanoseconds since
the epoch).
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import uno  # noqa: E402
import unohelper  # noqa: E402
from uno_office import Office, props, url  # noqa: E402

from com.sun.star.document.MacroExecMode import NEVER_EXECUTE  # noqa: E402
from com.sun.star.document.UpdateDocMode import NO_UPDATE  # noqa: E402
from com.sun.star.task import XInteractionHandler  # noqa: E402

ABORT = uno.getTypeByName("com.sun.star.task.XInteractionAbort")


class AbortEverything(unohelper.Base, XInteractionHandler):
    def handle(self, request):
        for continuation in request.getContinuations():
            if continuation.queryInterface(ABORT) is not None:
                continuation.select()
                return


def load(office, path):
    return office.desktop.loadComponentFromURL(
        url(path), "_blank", 0,
        props(Hidden=True, MacroExecutionMode=NEVER_EXECUTE, UpdateDocMode=NO_UPDATE,
              InteractionHandler=AbortEverything()))


def descriptor(target, find, replace):
    d = target.createReplaceDescriptor()
    d.setSearchString(find)
    d.setPropertyValue("SearchRegularExpression", False)
    d.setPropertyValue("SearchSimilarity", False)
    d.setPropertyValue("SearchCaseSensitive", False)
    d.setPropertyValue("SearchWords", False)
    d.setPropertyValue("SearchBackwards", False)
    d.setReplaceString(replace)
    return d


def store_if_modified(document, path, active_sheet=None):
    if not document.isModified():
        return
    if active_sheet is not None:
        document.getCurrentController().setActiveSheet(active_sheet)
    filter_name = next(a.Value for a in document.getArgs() if a.Name == "FilterName")
    temp = os.path.join(os.path.dirname(path), ".~baseline." + os.path.basename(path))
    document.storeToURL(url(temp), props(FilterName=filter_name, Overwrite=True))
    written = os.open(temp, os.O_RDONLY)
    os.fsync(written)
    os.close(written)
    os.replace(temp, path)
    folder = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
    os.fsync(folder)
    os.close(folder)


def replace_in_document(office, path, find, replace):
    document = load(office, path)
    search = descriptor(document, find, replace)
    if document.findFirst(search) is not None:
        document.replaceAll(search)
        store_if_modified(document, path)
    document.close(True)


def replace_in_workbook(office, path, find, replace):
    book = load(office, path)
    sheets = book.getSheets()
    names = sheets.getElementNames()
    search = None
    sheet = None
    replaced = []
    for i in range(len(names)):
        sheet = sheets.getByIndex(i)
        if search is None:
            search = descriptor(sheet, find, replace)
        if sheet.findFirst(search) is not None:
            sheet.replaceAll(search)
            replaced.append(names[i])
    store_if_modified(book, path, sheet)
    book.close(True)
    return replaced


def main():
    kind, folder, find, replace = sys.argv[1:5]
    ending = ".xls" if kind == "xls" else ".doc"
    # As the program lists them: "*.doc" also takes .docx and .docm.
    files = sorted(os.path.join(folder, n) for n in os.listdir(folder)
                   if not n.startswith(".") and os.path.splitext(n)[1].lower().startswith(ending))
    office = Office(autosave=False)
    work = replace_in_workbook if kind == "xls" else replace_in_document
    failures = 0
    try:
        for path in files:
            try:
                work(office, path, find, replace)
            except Exception as e:  # noqa: BLE001 -- a failed file is reported, the batch goes on
                failures += 1
                print(f"{path}: {e}", file=sys.stderr)
            print(f"file {time.time_ns()}", flush=True)
    finally:
        office.close()
    sys.exit(1 if failures else 0)


main()
