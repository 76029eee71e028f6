#!/usr/bin/perl
# Copies OVMF's serial console to a UTF-8 terminal with the frames kept: the
# firmware's PC ANSI terminal writes box-drawing and block characters as code
# page 437 bytes (0x80 and up), which a UTF-8 terminal would drop or misread.
# Lines become '-' and '|', corners and junctions '+', blocks '#'. Everything
# else the firmware writes there is ASCII and passes unchanged, at once.
use strict;
use warnings;
$| = 1;
my $chunk;
while (sysread(STDIN, $chunk, 4096)) {
  $chunk =~ tr/\xC4\xCD\xB3\xBA\xB0\xB1\xB2\xDB/\-\-||####/;
  $chunk =~ tr/\x80-\xFF/+/;
  syswrite(STDOUT, $chunk) // exit 1;
}
