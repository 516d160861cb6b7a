"""The Python behind the commands in scripts/: each command there is a thin
entry point into one module here.

  paths       the source tree, the build and its programs
  texts       lowrad's texts, from the texts tool that the tests' pieces build
  cycles      lowrad through the runner against the simulator, cycle by cycle
  guests      the QEMU guests of check-uart and their settings
  hosts       the host's architecture and what it takes to build for a guest's
  images      the guests' kernels, device trees and initramfs
  runner      one guest running in QEMU, and the reader of its console
  traces      the line settings a UART was given, decoded from QEMU's traces
  uart        check-uart's checks; doctor: lowrad-doctor's rows in a guest
  bench       what lowrad costs (scripts/bench)
"""
