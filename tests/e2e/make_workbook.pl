#!/usr/bin/perl
# Writes an .xls with Spreadsheet::WriteExcel, independently of the program.
# Usage: make_workbook.pl OUT.xls SHEET=CELL|CELL|... [SHEET=...]
# Cells go down column A; all text is UTF-8. A cell written "{pair}OLD<TAB>NEW"
# fills columns A and B of its row (either side may be "{number}N",
# "{date}YYYY-MM-DD", "{formula}=..." or empty),
# "{blank}" leaves its row empty. A cell is text, or a number
# written "{number}12345", or a formula written "{formula}=LEN(\"x\")", or
# one in a cell formatted as text, a date or a percentage ("{textformula}=...",
# "{dateformula}=...", "{percentformula}=..."). A sheet written "!NAME=..." is
# protected (its cells locked, but for cells written "{unlocked}text",
# "{unlocked}{number}123", "{unlocked}{date}2024-01-23" or
# "{unlocked}{link}URL TEXT"). A cell written "{link}URL TEXT" is a hyperlink
# showing TEXT, "{note}TEXT" a text with the
# comment "note on TEXT". An argument "@company=NAME" sets the workbook's
# "Company" property.
use strict;
use warnings;
use Encode qw(decode_utf8);
use Spreadsheet::WriteExcel;

my $out = shift @ARGV or die "usage: $0 OUT.xls SHEET=CELL|CELL ...\n";
my $book = Spreadsheet::WriteExcel->new($out) or die "cannot write $out: $!\n";
for my $definition (@ARGV) {
  my ($name, $cells) = split /=/, decode_utf8($definition), 2;
  if ($name eq '@company') {
    $book->set_properties(company => $cells);
    next;
  }
  my $locked = $name =~ s/^!//;
  my $sheet = $book->add_worksheet($name);
  $sheet->protect() if $locked;
  my $row = 0;
  my $unlocked = $book->add_format(locked => 0);
  my $text = $book->add_format(num_format => '@');
  my $unlockedDate = $book->add_format(locked => 0, num_format => 'yyyy-mm-dd');
  my $date = $book->add_format(num_format => 'yyyy-mm-dd');
  my $percent = $book->add_format(num_format => '0%');
  for my $cell (split /\|/, $cells // '') {
    if ($cell =~ /^\{pair\}(.*?)\t(.*)$/) {
      my @sides = ($1, $2);
      for my $column (0, 1) {
        if ($sides[$column] =~ /^\{number\}(.*)$/) {
          $sheet->write_number($row, $column, $1);
        } elsif ($sides[$column] =~ /^\{date\}(.*)$/) {
          $sheet->write_date_time($row, $column, "$1T", $date);
        } elsif ($sides[$column] =~ /^\{formula\}(.*)$/) {
          $sheet->write_formula($row, $column, $1);
        } elsif ($sides[$column] ne '') {
          $sheet->write_string($row, $column, $sides[$column]);
        }
      }
      $row++;
    } elsif ($cell eq '{blank}') {
      $row++;
    } elsif ($cell =~ /^\{number\}(.*)$/) {
      $sheet->write_number($row++, 0, $1);
    } elsif ($cell =~ /^\{unlocked\}\{number\}(.*)$/) {
      $sheet->write_number($row++, 0, $1, $unlocked);
    } elsif ($cell =~ /^\{unlocked\}\{date\}(.*)$/) {
      $sheet->write_date_time($row++, 0, "$1T", $unlockedDate);
    } elsif ($cell =~ /^\{unlocked\}\{link\}(\S+) (.*)$/) {
      $sheet->write_url($row++, 0, $1, $2, $unlocked);
    } elsif ($cell =~ /^\{unlocked\}(.*)$/) {
      $sheet->write_string($row++, 0, $1, $unlocked);
    } elsif ($cell =~ /^\{textformula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1, $text);
    } elsif ($cell =~ /^\{dateformula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1, $date);
    } elsif ($cell =~ /^\{percentformula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1, $percent);
    } elsif ($cell =~ /^\{formula\}(.*)$/) {
      $sheet->write_formula($row++, 0, $1);
    } elsif ($cell =~ /^\{link\}(\S+) (.*)$/) {
      $sheet->write_url($row++, 0, $1, $2);
    } elsif ($cell =~ /^\{note\}(.*)$/) {
      $sheet->write_string($row, 0, $1);
      $sheet->write_comment($row++, 0, "note on $1");
    } else {
      $sheet->write_string($row++, 0, $cell);
    }
  }
}
$book->close() or die "cannot close $out\n";
