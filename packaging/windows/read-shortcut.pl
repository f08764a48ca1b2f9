#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
# Prints what a Windows shortcut (.lnk) runs, for the installer's check: three lines, "target=",
# "arguments=" and "directory=", read from the Shell Link binary format ([MS-SHLLINK]): the
# target from its LinkInfo's local path, the others from its string data. Perl alone, as a
# fresh Debian has it (perl-base).
#
#   read-shortcut.pl FILE.lnk
use strict;
use warnings;

my $path = shift or die "usage: $0 FILE.lnk\n";
open(my $in, '<:raw', $path) or die "$path: $!\n";
my $lnk = do { local $/; <$in> };
close($in);

sub fail { die "$path: $_[0]\n" }

length($lnk) >= 0x4C && unpack('V', $lnk) == 0x4C or fail('no shell link header');
my $clsid = '0114020000000000c000000000000046';
unpack('H32', substr($lnk, 4, 16)) eq $clsid or fail('not a shell link');
my $flags = unpack('V', substr($lnk, 20, 4));
my %has = (idlist => 0x1, linkinfo => 0x2, name => 0x4, relative => 0x8, directory => 0x10,
           arguments => 0x20, icon => 0x40, unicode => 0x80);
my $at = 0x4C;
$at += 2 + unpack('v', substr($lnk, $at, 2)) if $flags & $has{idlist};

my $target;
if ($flags & $has{linkinfo}) {
    my ($size, $header, $infoFlags, undef, $base, undef, $suffix) =
        unpack('V7', substr($lnk, $at, 28));
    my $info = substr($lnk, $at, $size);
    my $cstring = sub { my ($s) = unpack('Z*', substr($info, $_[0])); $s };
    # The Unicode offsets come only with a longer header.
    my ($baseW, $suffixW) = $header >= 0x24 ? unpack('V2', substr($info, 28, 8)) : (0, 0);
    my $wstring = sub {
        my @units;
        for (my $i = $_[0]; ; $i += 2) {
            my $unit = unpack('v', substr($info, $i, 2));
            last if !$unit;
            push @units, $unit;
        }
        pack('U*', @units);
    };
    if ($infoFlags & 0x1) {
        $target = $baseW ? $wstring->($baseW) . $wstring->($suffixW)
                         : $cstring->($base) . $cstring->($suffix);
    }
    $at += $size;
}
defined $target or fail('no local target path');

# The string data: each a count of characters, then the characters.
my %strings;
for my $name (qw(name relative directory arguments icon)) {
    next unless $flags & $has{$name};
    my $count = unpack('v', substr($lnk, $at, 2));
    my $width = $flags & $has{unicode} ? 2 : 1;
    my $bytes = substr($lnk, $at + 2, $count * $width);
    length($bytes) == $count * $width or fail("its $name string is cut short");
    $strings{$name} = $width == 2 ? pack('U*', unpack('v*', $bytes)) : $bytes;
    # Wine counts a terminating NUL that the format leaves out.
    $strings{$name} =~ s/\0+$//;
    $at += 2 + $count * $width;
}

binmode(STDOUT, ':utf8');
print "target=$target\n";
print 'arguments=', $strings{arguments} // '', "\n";
print 'directory=', $strings{directory} // '', "\n";
