#!/usr/bin/python3
"""Writes and reads .docx and .xlsx files with python-docx and openpyxl,
independently of the program.

  ooxml.py docx OUT BODY TABLE HEADER
  ooxml.py xlsx OUT SHEET=CELL|CELL ...   a cell is text, "{number}12345" or "{formula}=...";
                                          "{hidden}text" is in a row the sheet's filter hides
  ooxml.py read FILE      prints body, table and header lines, or SHEET\tROW\tVALUE
  ooxml.py types FILE     prints SHEET\tROW\tKIND\tVALUE, KIND openpyxl's data type
                          (s text, n number, f formula, d date)
"""
import sys


def write_docx(out, body, table, header):
    import docx
    document = docx.Document()
    document.add_paragraph(body)
    document.add_table(rows=1, cols=1).cell(0, 0).text = table
    document.sections[0].header.paragraphs[0].text = header
    document.save(out)


def write_xlsx(out, sheets):
    import openpyxl
    book = openpyxl.Workbook()
    book.remove(book.active)
    for definition in sheets:
        name, cells = definition.split("=", 1)
        sheet = book.create_sheet(name)
        values = cells.split("|")
        hidden = [row for row, value in enumerate(values, start=1) if value.startswith("{hidden}")]
        for row, value in enumerate(values, start=1):
            cell = sheet.cell(row=row, column=1)
            if row in hidden:
                value = value[len("{hidden}"):]
            if value.startswith("{number}"):
                cell.value = float(value[len("{number}"):])
            elif value.startswith("{formula}"):
                cell.value = value[len("{formula}"):]
            else:
                cell.value = value
                cell.data_type = "s"  # never read as a formula, whatever it starts with
        if hidden:
            # A filter under the first row's heading that shows the other rows only.
            sheet.auto_filter.ref = f"A1:A{len(values)}"
            sheet.auto_filter.add_filter_column(
                0, [v for row, v in enumerate(values, start=1) if row > 1 and row not in hidden])
            for row in hidden:
                sheet.row_dimensions[row].hidden = True
    book.save(out)


def types(path):
    import openpyxl
    book = openpyxl.load_workbook(path)
    for sheet in book.worksheets:
        for row in sheet.iter_rows():
            for cell in row:
                if cell.value is not None:
                    print(f"{sheet.title}\t{cell.row}\t{cell.data_type}\t{cell.value}")


def read(path):
    if path.lower().endswith((".xlsx", ".xlsm")):
        import openpyxl
        book = openpyxl.load_workbook(path)
        for sheet in book.worksheets:
            for row in sheet.iter_rows():
                for cell in row:
                    if cell.value is not None:
                        print(f"{sheet.title}\t{cell.row}\t{cell.value}")
        return
    import docx
    document = docx.Document(path)
    for p in document.paragraphs:
        print("body\t" + p.text)
    for t in document.tables:
        for row in t.rows:
            for cell in row.cells:
                print("table\t" + cell.text)
    for section in document.sections:
        for p in section.header.paragraphs:
            print("header\t" + p.text)


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "docx":
        write_docx(*sys.argv[2:6])
    elif kind == "xlsx":
        write_xlsx(sys.argv[2], sys.argv[3:])
    elif kind == "types":
        types(sys.argv[2])
    else:
        read(sys.argv[2])
