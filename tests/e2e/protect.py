"""Saves a copy of a document with a password: protect.py IN OUT PASSWORD FILTER"""
import sys

import uno
from com.sun.star.beans import NamedValue, PropertyValue

from uno_office import Office, props, url


def named(name, value):
    v = NamedValue()
    v.Name = name
    v.Value = value
    return v


source, target, password, filter_name = sys.argv[1:5]
office = Office()
try:
    document = office.load(source)
    if "2007 XML" in filter_name:
        # The Office Open XML filters encrypt only when given the key's data
        # itself; a password alone they ignore.
        data = PropertyValue()
        data.Name = "EncryptionData"
        data.Value = uno.Any("[]com.sun.star.beans.NamedValue",
                             (named("OOXPassword", password), named("CryptoType", "Standard")))
        uno.invoke(document, "storeToURL",
                   (url(target), uno.Any("[]com.sun.star.beans.PropertyValue",
                                         props(FilterName=filter_name) + (data,))))
    else:
        document.storeToURL(url(target), props(FilterName=filter_name, Password=password))
    document.close(True)
finally:
    office.close()
