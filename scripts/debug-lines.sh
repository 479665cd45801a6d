#!/usr/bin/env bash
# debug-lines.sh: a filter. What programs under Wine said through
# OutputDebugString (reported on stderr with WINEDEBUG=-all,+debugstr, as
#   0024:warn:debugstr:OutputDebugStringA "[core] hello \xc3\xa9\n"
# ) comes out as their own lines, "[core] hello é"; every other line passes
# unchanged.
exec perl -ne '
  BEGIN { $| = 1 }
  my %named = (n => "\n", r => "", t => "\t");
  if (/:debugstr:OutputDebugString[AW] "(.*)"\r?$/) {
    (my $text = $1) =~ s/\\(?:x([0-9a-fA-F]{2})|(.))/defined $1 ? chr(hex $1) : exists $named{$2} ? $named{$2} : $2/ge;
    $text =~ s/\n\z//;
    print "$text\n" if $text ne "";
  } else {
    print;
  }'
