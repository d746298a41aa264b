"""Saves a copy of a document with a password: protect.py IN OUT PASSWORD FILTER"""
import sys

from uno_office import Office, props, url

source, target, password, filter_name = sys.argv[1:5]
office = Office()
try:
    document = office.load(source)
    document.storeToURL(url(target), props(FilterName=filter_name, Password=password))
    document.close(True)
finally:
    office.close()
