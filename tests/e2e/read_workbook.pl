#!/usr/bin/perl
# Prints every text cell of an .xls as "SHEET<TAB>ROW,COL<TAB>VALUE", read with
# Spreadsheet::ParseExcel, independently of the program.
use strict;
use warnings;
use Encode qw(encode_utf8);
use Spreadsheet::ParseExcel;

my $file = shift @ARGV or die "usage: $0 FILE.xls\n";
my $book = Spreadsheet::ParseExcel->new->parse($file) or die "cannot parse $file\n";
for my $sheet ($book->worksheets()) {
  my ($rmin, $rmax) = $sheet->row_range();
  my ($cmin, $cmax) = $sheet->col_range();
  for my $r ($rmin .. $rmax) {
    for my $c ($cmin .. $cmax) {
      my $cell = $sheet->get_cell($r, $c) or next;
      print encode_utf8($sheet->get_name() . "\t$r,$c\t" . $cell->value()), "\n";
    }
  }
}
