#!/usr/bin/perl
# Writes an .xls with Spreadsheet::WriteExcel, independently of the program.
# Usage: make_workbook.pl OUT.xls SHEET=CELL|CELL|... [SHEET=...]
# Cells go down column A; all text is UTF-8. A cell is text, or a number
# written "{number}12345", or a formula written "{formula}=LEN(\"x\")". A
# sheet written "!NAME=..." is protected (its cells locked, but for cells
# written "{unlocked}text" or "{unlocked}{number}123"). "{textformula}=..." is a formula in a cell
# formatted as text.
use strict;
use warnings;
use Encode qw(decode_utf8);
use Spreadsheet::WriteExcel;

my $out = shift @ARGV or die "usage: $0 OUT.xls SHEET=CELL|CELL ...\n";
my $book = Spreadsheet::WriteExcel->new($out) or die "cannot write $out: $!\n";
for my $definition (@ARGV) {
  my ($name, $cells) = split /=/, decode_utf8($definition), 2;
  my $locked = $name =~ s/^!//;
  my $sheet = $book->add_worksheet($name);
  $sheet->protect() if $locked;
  my $row = 0;
  my $unlocked = $book->add_format(locked => 0);
  my $text = $book->add_format(num_format => '@');
  for my $cell (split /\|/, $cells // '') {
    if ($cell =~ /^\{number\}(.*)$/) {
      $sheet->write_number($row++, 0, $1);
    } elsif ($cell =~ /^\{unlocked\}\{number\}(.*)$/) {
      $sheet->write_number($row++, 0, $1, $unlocked);
    } elsif ($cell =~ /^\{unlocked\}(.*)$/) {
      $sheet->write_string($row++, 0, $1, $unlocked);
    } elsif ($cell =~ /^\{textformula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1, $text);
    } elsif ($cell =~ /^\{formula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1);
    } else {
      $sheet->write_string($row++, 0, $cell);
    }
  }
}
$book->close() or die "cannot close $out\n";
