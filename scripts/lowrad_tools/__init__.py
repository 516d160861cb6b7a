"""The Python behind the commands in scripts/: each command there is a thin
entry point into one module here.

  paths           the source tree, the build and its programs
  texts           lowrad's texts, from the texts tool that the tests' pieces build
  commands        the host's commands as check-uart runs them, and its Failure
  guests          check-uart's six QEMU guests and their settings
  hosts           the host's architecture beside a guest's: what to build, KVM
  images          the guests' kernels, device trees and initramfs (init.sh)
  runner          one guest running in QEMU, and the reader of its console
  traces          the line settings a UART was given, from QEMU's traces
  uart, doctor    check-uart's checks, and lowrad-doctor in the guests
  cycles          lowrad through the runner against the simulator, cycle by cycle
  falsepositives  how often lowrad calls pure background significant
  limits          what lowrad-assess's decision threshold and detection limit promise
  calibration     how often the coefficient's coverage interval holds the true one
  bench           what lowrad costs
  assess_scale    what lowrad-assess costs on long input
The unit tests of the trace decoders, test_traces, run in CTest.
"""
