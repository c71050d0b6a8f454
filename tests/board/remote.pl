# A remote control's receiver on the board, as an infrared or CEC driver makes
# one: a uinput device with the keys given as evdev codes. It appears, waits
# SECONDS for the program's input handling to take it, presses and releases
# each key in turn, and goes. The board's perl is perl-base: no modules.
#   perl remote.pl SECONDS CODE...
use strict;
use warnings;

my ($wait, @codes) = @ARGV;
# <linux/uinput.h>: UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_CREATE, UI_DEV_DESTROY.
my ($set_evbit, $set_keybit, $create, $destroy) = (0x40045564, 0x40045565, 0x5501, 0x5502);
my ($ev_syn, $ev_key) = (0, 1);

open(my $uinput, '+<', '/dev/uinput') or die "remote: /dev/uinput: $!\n";
binmode $uinput;
# Numbers, not strings: ioctl passes a string as a pointer.
ioctl($uinput, $set_evbit, $ev_key + 0) or die "remote: UI_SET_EVBIT: $!\n";
ioctl($uinput, $set_keybit, $_ + 0) or die "remote: UI_SET_KEYBIT $_: $!\n" for @codes;
# struct uinput_user_dev: the name, struct input_id (BUS_VIRTUAL), no force
# feedback, and the four absolute axis tables of 64 values each, unused.
my $setup = pack('a80 S4 L', 'board remote', 0x06, 1, 1, 1, 0) . ("\0" x (4 * 4 * 64));
syswrite($uinput, $setup) == length($setup) or die "remote: device setup: $!\n";
ioctl($uinput, $create, 0) or die "remote: UI_DEV_CREATE: $!\n";
sleep $wait;

# struct input_event: a struct timeval of two longs (the kernel stamps it),
# type, code and value; each change ends with a SYN_REPORT.
sub event { syswrite($uinput, pack('l! l! S S l', 0, 0, @_)) or die "remote: write: $!\n" }
for my $code (@codes) {
    for my $value (1, 0) {
        event($ev_key, $code, $value);
        event($ev_syn, 0, 0);
        select(undef, undef, undef, 0.1);
    }
    select(undef, undef, undef, 0.3);
}
sleep 1;
ioctl($uinput, $destroy, 0);
