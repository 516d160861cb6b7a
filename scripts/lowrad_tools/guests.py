"""The six guests of check-uart and their settings, each default in one place.

Each guest is a Debian architecture's kernel in one of QEMU's machines, with
the guest's console, the ttySn of the counter, of a UART on a silent line and
of one without a UART, and the wiring of the serial ports. docs/real-drivers.md
says what each guest proves.
"""
import dataclasses
from typing import Optional


@dataclasses.dataclass(frozen=True)
class Guest:
    debarch: str  # Debian's name of the guest's architecture (hosts.ARCHITECTURES)
    kernel: str  # the meta package that names Debian's kernel image
    machine: list  # QEMU's machine; the CPU apart, as KVM wants the host's
    console: str  # the kernel's console=
    counter: int  # ttySn of the counter's port
    wiring: list  # QEMU's serial ports and their back ends
    silent: Optional[int] = None  # a UART on a silent line; None: the counter's, once stopped
    nouart: Optional[int] = None  # a ttySn without a UART behind it
    cpu: Optional[str] = None
    # Kernel arguments besides the console. no_timer_check: a guest slowed
    # down by a busy host may otherwise find its timer broken at boot, and panic.
    append: tuple = ()
    # The files taken from the kernel's package (tar patterns), where a full
    # kernel's modules would take hundreds of megabytes; empty: all of it.
    files: tuple = ()
    modules: tuple = ()  # modules to load, with insmod
    driver: str = "serial"  # the /proc/tty/driver file that reports the counter's port
    # The device that the runner shows lowrad as ttyS0, where lowrad cannot
    # reach the port itself.
    mapped: Optional[str] = None
    trace: tuple = ("serial_update_parameters",)  # QEMU's trace events of the UART
    line: str = "16550"  # how the settings are read from them (traces.DECODERS)
    expect: tuple = ("1200", "N", "8", "2")  # the settings expected at each opening
    kind: str = "uart:16550A"  # what the counter's line in /proc/tty/driver shows
    dtb: Optional[str] = None  # the kernel package's device tree, changed for the check
    memory: tuple = ("-m", "256")  # empty where the machine has a fixed size
    halts: bool = False  # the machine cannot power off (raspi3b has no PSCI)
    kvm: bool = True  # the machine runs under KVM, on a host of its architecture
    # The accelerator without KVM. The Pi's four CPUs run in one host thread,
    # as a CPU waiting with WFE spins in TCG: a thread each takes both of a
    # 2-core host's cores from the other guests, and boots 5 times slower.
    tcg: str = "tcg"
    reason: Optional[str] = None  # why the settings are what they are
    # Shell commands run in the guest after lowrad's cycles, each with a
    # pattern its output must match.
    commands: tuple = ()
    doctor: Optional[str] = None  # lowrad-doctor's check in this guest (doctor.CHECKS)


PI_DTB = "./usr/lib/linux-image-*/broadcom/bcm2837-rpi-3-b.dtb"
PCI_UARTS = ["-serial", "stdio", "-chardev", "pty,id=counter",
             "-device", "pci-serial,chardev=counter", "-chardev", "null,id=silent",
             "-device", "pci-serial,chardev=silent"]
# The cloud kernels have neither USB nor the Pi's UARTs: those guests boot
# the full kernel, and take only the image and what they need from it.
PI = dict(debarch="arm64", kernel="linux-image-arm64", files=("./boot/vmlinuz-*", PI_DTB),
          dtb=PI_DTB, machine=["-M", "raspi3b"], memory=(), halts=True,
          kvm=False, tcg="tcg,thread=single", doctor="answer")

GUESTS = {
    "x86_64": Guest(
        debarch="amd64", kernel="linux-image-cloud-amd64", machine=["-M", "pc"], console="ttyS0",
        counter=1, nouart=2, silent=3, append=("no_timer_check",),
        wiring=["-serial", "stdio", "-serial", "pty", "-serial", "none", "-serial", "null"],
        doctor="rows"),
    "aarch64": Guest(
        debarch="arm64", kernel="linux-image-cloud-arm64", machine=["-M", "virt"],
        cpu="cortex-a53", console="ttyAMA0", counter=0, silent=1, nouart=2, wiring=PCI_UARTS),
    "armhf": Guest(
        debarch="armhf", kernel="linux-image-armmp", machine=["-M", "virt,highmem=off"],
        cpu="cortex-a15", console="ttyAMA0", counter=0, silent=1, nouart=2, wiring=PCI_UARTS),
    "usb": Guest(
        debarch="amd64", kernel="linux-image-amd64",
        files=("./boot/vmlinuz-*", "./lib/modules/*/kernel/drivers/usb/*"),
        modules=("xhci-pci", "ftdi_sio"), machine=["-M", "pc"], console="ttyS0",
        append=("no_timer_check",),
        wiring=["-serial", "stdio", "-device", "qemu-xhci", "-chardev", "pty,id=counter",
                "-device", "usb-serial,chardev=counter"],
        driver="usbserial", counter=0, mapped="/dev/ttyUSB0",
        trace=("usb_serial_set_baud", "usb_serial_set_data", "usb_serial_set_flow_control"),
        line="ftdi", expect=("1200", "N", "8", "2", "flow control 0"), kind="module:ftdi_sio",
        doctor="group"),
    "pi-mini": Guest(
        **PI, console="ttyAMA0", wiring=["-serial", "stdio", "-serial", "pty"], counter=1,
        nouart=0, trace=("memory_region_ops_write",), line="mini",
        expect=("1200", "N", "8", "1", "LCR 0x13, divisor 26042"),
        kind="uart:16550 mmio:0x3F215040",
        reason="the mini UART has no second stop bit: for a port with the mini capability "
               "the 8250 driver clears CSTOPB, tcsetattr succeeds, and the termios read back "
               "says -cstopb (above); a receiver at one stop bit takes in every frame sent with "
               "two, the second being idle time on the line",
        commands=(("stty -F /dev/ttyS1 -a 2>/dev/null", r"(?s)speed 1200 baud.*\s-cstopb\s"),)),
    "pi-pl011": Guest(
        **PI, console="ttyS1,115200", wiring=["-serial", "pty", "-serial", "stdio"], counter=0,
        driver="ttyAMA", mapped="/dev/ttyAMA0", trace=("pl011_write",), line="pl011",
        expect=("1200", "N", "8", "2", "IBRD 2500, FBRD 0, LCR_H 0x78"), kind="uart:PL011"),
}
