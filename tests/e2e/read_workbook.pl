#!/usr/bin/perl
# Prints every cell of an .xls as "SHEET<TAB>ROW,COL<TAB>VALUE", read with
# Spreadsheet::ParseExcel, independently of the program; with --types the
# cell's kind as the reader sees it ("Text", "Numeric", "Date") before VALUE.
use strict;
use warnings;
use Encode qw(encode_utf8);
use Spreadsheet::ParseExcel;

my $types = @ARGV && $ARGV[0] eq '--types' ? shift @ARGV : undef;
my $file = shift @ARGV or die "usage: $0 [--types] FILE.xls\n";
my $book = Spreadsheet::ParseExcel->new->parse($file) or die "cannot parse $file\n";
for my $sheet ($book->worksheets()) {
  my ($rmin, $rmax) = $sheet->row_range();
  my ($cmin, $cmax) = $sheet->col_range();
  for my $r ($rmin .. $rmax) {
    for my $c ($cmin .. $cmax) {
      my $cell = $sheet->get_cell($r, $c) or next;
      my $kind = $types ? $cell->type() . "\t" : "";
      print encode_utf8($sheet->get_name() . "\t$r,$c\t$kind" . $cell->value()), "\n";
    }
  }
}
