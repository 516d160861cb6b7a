"""The trace decoders on lines in QEMU's own formats (its trace-events), with
the boot's settings and other registers' writes before and among lowrad's."""
import unittest

from .traces import line_16550, line_ftdi, line_mini, line_pl011


def aux(offset, value):
    """A write into the Pi's AUX block, the mini UART's registers at 0x40 on."""
    return (f"memory_region_ops_write cpu 0 mr 0x5581d2a0 addr 0x{offset:x} value 0x{value:x} "
            f"size 4 name 'bcm2835-aux'\n")


class Decoders(unittest.TestCase):
    def test_16550_takes_the_last_settings(self):
        trace = ("serial_update_parameters baudrate=9600 parity='N' data=8 stop=1\n"
                 "12@1.5:serial_update_parameters baudrate=1200 parity='E' data=7 stop=2\n")
        self.assertEqual(line_16550(trace), ("1200", "E", "7", "2"))

    def test_ftdi_joins_the_last_request_of_each_kind(self):
        trace = ("usb_serial_set_flow_control dev 0:0 flow control 0\n"
                 "usb_serial_set_baud dev 0:0 baud rate 9600\n"
                 "usb_serial_set_data dev 0:0 parity N, data bits 8, stop bits 1\n"
                 "usb_serial_set_baud dev 0:0 baud rate 1200\n"
                 "usb_serial_set_data dev 0:0 parity N, data bits 8, stop bits 2\n"
                 "usb_serial_set_flow_control dev 0:0 flow control 0\n")
        self.assertEqual(line_ftdi(trace), ("1200", "N", "8", "2", "flow control 0"))

    def test_pl011_from_its_divisors_and_line_control(self):
        def write(register, value):
            return f"pl011_write addr 0x{register:08x} value 0x{value:08x}\n"
        trace = (write(0x24, 26) + write(0x28, 3) + write(0x2C, 0x70)
                 + write(0x30, 0x301) + write(0x24, 2500) + write(0x28, 0) + write(0x2C, 0x78))
        self.assertEqual(line_pl011(trace),
                         ("1200", "N", "8", "2", "IBRD 2500, FBRD 0, LCR_H 0x78"))
        self.assertEqual(line_pl011(trace + write(0x2C, 0x56))[:4], ("1200", "E", "7", "1"))

    def test_mini_uart_divisor_only_behind_the_latch(self):
        latched, lcr = 0x83, 0x13
        divisor = 26042
        trace = (aux(0x4C, latched) + aux(0x40, divisor & 0xFF) + aux(0x44, divisor >> 8)
                 + aux(0x4C, lcr) + aux(0x40, 0x41) + aux(0x44, 0x01))
        self.assertEqual(line_mini(trace),
                         ("1200", "N", "8", "1", "LCR 0x13, divisor 26042"))
        odd_parity_two_stops = 0x0F
        self.assertEqual(line_mini(trace + aux(0x4C, odd_parity_two_stops))[:4],
                         ("1200", "O", "8", "2"))


if __name__ == "__main__":
    unittest.main()
