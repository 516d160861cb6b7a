"""The line settings a driver last gave a UART, decoded from QEMU's trace of
the UART's model: each decoder takes the whole trace and returns baud rate,
parity, data bits and stop bits as text, and, where the model has them, the
registers or requests they come from."""
import re

PL011_CLOCK = 48000000  # the Pi's PL011 clock, Hz
MINI_CLOCK = 250000000  # the mini UART's clock, Hz (see images.pi_device_tree)


def line_16550(trace):
    """QEMU's 16550 reports its parameters as the driver sets them."""
    return re.findall(r"baudrate=(\d+) parity='(.)' data=(\d) stop=(\d)", trace)[-1]


def line_ftdi(trace):
    """The FTDI adapter: what the driver last sent in its control requests."""
    baud = re.findall(r"usb_serial_set_baud dev \S+ baud rate (\d+)", trace)[-1]
    parity, data, stop = re.findall(
        r"usb_serial_set_data dev \S+ parity (.), data bits (\d+), stop bits (\d+)", trace)[-1]
    flow = re.findall(r"usb_serial_set_flow_control dev \S+ flow control (\d+)", trace)[-1]
    return baud, parity, data, stop, f"flow control {flow}"


def line_pl011(trace):
    """The PL011's baud rate divisors and line control register."""
    last = {}
    for register, value in re.findall(r"pl011_write addr 0x(\w+) value 0x(\w+)", trace):
        last[int(register, 16)] = int(value, 16)
    ibrd, fbrd, lcr_h = last[0x24], last[0x28], last[0x2C]
    baud = round(PL011_CLOCK * 4 / (64 * ibrd + fbrd))
    parity = "EO"[not lcr_h & 4] if lcr_h & 2 else "N"
    return (str(baud), parity, str(5 + (lcr_h >> 5 & 3)), "21"[not lcr_h & 8],
            f"IBRD {ibrd}, FBRD {fbrd}, LCR_H 0x{lcr_h:02x}")


def line_mini(trace):
    """The mini UART, from the guest's writes into the AUX block. As on a
    16550 the driver sets bit 7 of LCR to reach the divisor through the data
    and interrupt-enable registers; QEMU's model has no such latch and takes
    them as data and interrupt enables, which is why the clock is fixed."""
    lcr, divisor, latch = None, [0, 0], False
    for offset, value in re.findall(r"addr 0x(\w+) value 0x(\w+) size \d+ name 'bcm2835-aux'",
                                    trace):
        offset, value = int(offset, 16) & 0xFF, int(value, 16)
        if offset == 0x4C:
            latch = bool(value & 0x80)
            lcr = value if not latch else lcr
        elif latch and offset in (0x40, 0x44):
            divisor[offset == 0x44] = value
    # The mini UART's rate is clock / (8 (divisor + 1)). The stop bits are
    # what the driver wrote in LCR bit 2, a 16550's, which the mini UART lacks.
    quotient = divisor[0] | divisor[1] << 8
    baud = round(MINI_CLOCK / (8 * (quotient + 1)))
    return (str(baud), "EO"[not lcr & 0x10] if lcr & 8 else "N", str(5 + (lcr & 3)),
            "21"[not lcr & 4], f"LCR 0x{lcr:02x}, divisor {quotient}")


DECODERS = {"16550": line_16550, "ftdi": line_ftdi, "pl011": line_pl011, "mini": line_mini}


def settings_text(traced):
    """Settings as check-uart prints them: 1200 N82 (and what they come from)."""
    return ", ".join(f"{b} {p}{d}{s}" + "".join(f" ({x})" for x in rest)
                     for b, p, d, s, *rest in traced)
