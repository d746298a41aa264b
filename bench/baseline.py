"""The baseline: the same load / find / replace / store / close on the same
files with the same office, written directly against python3-uno.

Usage: baseline.py DOC_FOLDER XLS_FOLDER FIND REPLACE
Prints "start_ms", "doc_ms_per_file" and "xls_ms_per_file".
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from uno_office import Office, props, url  # noqa: E402

from com.sun.star.document.MacroExecMode import NEVER_EXECUTE  # noqa: E402


def load(office, path):
    return office.desktop.loadComponentFromURL(
        url(path), "_blank", 0, props(Hidden=True, MacroExecutionMode=NEVER_EXECUTE))


def search(target, text, replace=None):
    descriptor = target.createReplaceDescriptor()
    descriptor.SearchString = text
    descriptor.SearchRegularExpression = False
    descriptor.SearchCaseSensitive = False
    descriptor.SearchWords = False
    if replace is None:
        return target.findFirst(descriptor) is not None
    descriptor.ReplaceString = replace
    return target.replaceAll(descriptor)


def store(document, path):
    if not document.isModified():
        return
    filter_name = next(a.Value for a in document.getArgs() if a.Name == "FilterName")
    temp = os.path.join(os.path.dirname(path), ".~baseline." + os.path.basename(path))
    document.storeToURL(url(temp), props(FilterName=filter_name, Overwrite=True))
    os.replace(temp, path)


def files(folder, ending):
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(ending))


def main():
    doc_folder, xls_folder, find, replace = sys.argv[1:5]
    started = time.perf_counter()
    office = Office()
    start_ms = (time.perf_counter() - started) * 1000
    try:
        docs = files(doc_folder, ".doc")
        t0 = time.perf_counter()
        for path in docs:
            document = load(office, path)
            if search(document, find):
                search(document, find, replace)
                store(document, path)
            document.close(True)
        doc_ms = (time.perf_counter() - t0) * 1000 / max(len(docs), 1)

        books = files(xls_folder, ".xls")
        t0 = time.perf_counter()
        for path in books:
            book = load(office, path)
            sheets = book.Sheets
            for i in range(sheets.Count):
                sheet = sheets.getByIndex(i)
                if search(sheet, find):
                    search(sheet, find, replace)
            store(book, path)
            book.close(True)
        xls_ms = (time.perf_counter() - t0) * 1000 / max(len(books), 1)
    finally:
        office.close()
    print(f"start_ms {start_ms:.1f}")
    print(f"doc_ms_per_file {doc_ms:.1f}")
    print(f"xls_ms_per_file {xls_ms:.1f}")


main()
