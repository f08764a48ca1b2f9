#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
# Prints a Windows version resource (VS_VERSIONINFO, as `wrestool -x --raw --type=16 FILE.exe`
# writes it) as lines of NAME=VALUE: each string of its string tables, then the fixed part's
# file and product versions as FILEVERSION=a.b.c.d and PRODUCTVERSION=a.b.c.d. Used by the
# installer's check to read back what Explorer shows.
#
#   wrestool -x --raw --type=16 tessaline.exe | perl read-version.pl
use strict;
use warnings;

binmode STDIN;
my $data = do { local $/; <STDIN> };
die "no version resource\n" unless defined $data && length $data >= 6;

sub align4 { my ($n) = @_; return ($n + 3) & ~3; }

sub utf16 {
    my ($bytes) = @_;
    my $text = pack 'U*', unpack 'v*', $bytes;
    $text =~ s/\0.*//s;
    return $text;
}

my @strings;
my %fixed;

# One node: its length, its value's length, its type, its name, then its value and its children,
# each starting on a four-byte boundary.
sub node {
    my ($at, $depth) = @_;
    die "a node runs past the end\n" if $at + 6 > length $data;
    my ($length, $value_length) = unpack 'v2', substr $data, $at, 4;
    my $end = $at + $length;
    die "a node runs past the end\n" if $length < 6 || $end > length $data;
    my $name_end = $at + 6;
    $name_end += 2 while $name_end + 1 < $end && substr($data, $name_end, 2) ne "\0\0";
    my $name = utf16(substr $data, $at + 6, $name_end - $at - 6);
    my $value_at = align4($name_end + 2);

    if ($depth == 0) {
        die "not a version resource\n" unless $name eq 'VS_VERSION_INFO';
        my @words = unpack 'V13', substr $data, $value_at, 52;
        die "no fixed file information\n" unless ($words[0] // 0) == 0xFEEF04BD;
        my $version = sub { join '.', $_[0] >> 16, $_[0] & 0xffff, $_[1] >> 16, $_[1] & 0xffff };
        $fixed{FILEVERSION} = $version->(@words[2, 3]);
        $fixed{PRODUCTVERSION} = $version->(@words[4, 5]);
        children(align4($value_at + $value_length), $end, 1);
    } elsif ($depth == 1 && $name eq 'StringFileInfo') {
        children($value_at, $end, 2);
    } elsif ($depth == 2) {
        children($value_at, $end, 3);    # a string table, named for its language
    } elsif ($depth == 3 && $value_length > 0) {
        # Compilers disagree on whether the length counts characters or bytes: the string is
        # what lies between the name and the end of the node.
        push @strings, [$name, utf16(substr $data, $value_at, $end - $value_at)];
    }
}

sub children {
    my ($at, $end, $depth) = @_;
    while ($at + 6 <= $end) {
        my $length = unpack 'v', substr $data, $at, 2;
        last if $length == 0;
        node($at, $depth);
        $at = align4($at + $length);
    }
}

node(0, 0);
print "$_->[0]=$_->[1]\n" for @strings;
print "$_=$fixed{$_}\n" for sort keys %fixed;
