"""Prints a document's main text as it reads once every tracked change is
accepted, then as it reads once every one is rejected, a line each, with
"|" for a paragraph's end: review.py FILE. Read by LibreOffice through
python3-uno, independently of the program."""
import sys

from uno_office import Office


def text_after(office, path, command):
    document = office.load(path)
    try:
        helper = office.context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.DispatchHelper", office.context)
        helper.executeDispatch(document.getCurrentController().getFrame(), command, "", 0, ())
        return document.getText().getString().replace("\n", "|")
    finally:
        document.close(True)


office = Office()
try:
    for command in (".uno:AcceptAllTrackedChanges", ".uno:RejectAllTrackedChanges"):
        print(text_after(office, sys.argv[1], command))
finally:
    office.close()
