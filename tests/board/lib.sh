# Shared by tests/board/image and tests/board/test: the board's QEMU machine for each
# architecture. Source it; set arch first (armhf or amd64).

board_cache() {
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/sourcebar/board-$arch"
}

board_kernel_package() {
    case "$arch" in
        armhf) echo linux-image-armmp ;;
        amd64) echo linux-image-amd64 ;;
        *) echo "board: unknown architecture $arch (armhf or amd64)" >&2; return 2 ;;
    esac
}

# The bus of the display and input devices. On armhf's virt machine they sit on
# PCI: virtio-gpu on the legacy mmio transport never finishes its probe, and on
# the modern one its commands stall.
board_display_bus() {
    echo pci
}

# board_qemu SERIAL_LOG KERNEL INITRD ROOT_IMAGE KERNEL_ARGS [QEMU ARGS...]
# TCG only: there is no KVM for ARM guests on x86, and a KVM probe can hang.
# No network device: the board has only its own loopback.
board_qemu() {
    local log="$1" kernel="$2" initrd="$3" disk="$4" append="$5" qemu bus console
    shift 5
    case "$arch" in
        armhf) qemu=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15); bus=device; console=ttyAMA0 ;;
        amd64) qemu=(qemu-system-x86_64 -M q35 -cpu max -vga none); bus=pci; console=ttyS0 ;;
    esac
    # The root disk must be /dev/vda. virtio-mmio (armhf's virt machine) names the
    # disks in the reverse order of the command line, PCI in its order.
    local root=(-drive "file=$disk,format=raw,if=none,id=root,cache=unsafe${board_snapshot:+,snapshot=on}"
                -device "virtio-blk-$bus,drive=root")
    # A reboot ends QEMU, unless board_reboot is set: then the board boots again
    # on the same disk, snapshot and all, as after a power cut.
    local reboot=(-no-reboot)
    [ -z "${board_reboot:-}" ] || reboot=()
    local devices=("${root[@]}" "$@")
    [ "$bus" = device ] && devices=("$@" "${root[@]}")
    "${qemu[@]}" -accel tcg,thread=multi -smp 2 -m 1024 -nic none -nodefaults -no-user-config \
        -kernel "$kernel" -initrd "$initrd" \
        -append "console=$console root=/dev/vda rw panic=5 $append" \
        -serial "file:$log" -monitor none -display none "${reboot[@]}" "${devices[@]}"
}
