"""The host's architecture beside a guest's: a guest of the host's own
architecture runs this build's programs with the host's libraries and
busybox, under KVM where /dev/kvm is usable; a guest of another runs the
programs of the Debian package that Debian's cross compiler builds, with
that compiler's libraries and the architecture's own busybox, under TCG."""
import dataclasses
import functools
import os
import re
import shutil
import subprocess

from . import paths
from .commands import Failure, need, run


@dataclasses.dataclass(frozen=True)
class Architecture:
    triplet: str  # the cross compiler's; its toolchain file is cmake/TRIPLET.cmake
    elf: str  # the machine that readelf must see in the package's lowrad
    qemu: str  # the emulator of a whole machine, and its package
    package: str


ARCHITECTURES = {
    "amd64": Architecture("x86_64-linux-gnu", "Advanced Micro Devices X86-64",
                          "qemu-system-x86_64", "qemu-system-x86"),
    "arm64": Architecture("aarch64-linux-gnu", "AArch64", "qemu-system-aarch64", "qemu-system-arm"),
    "armhf": Architecture("arm-linux-gnueabihf", "ARM", "qemu-system-arm", "qemu-system-arm"),
}


@functools.cache
def host():
    """The host's Debian architecture."""
    return run(["dpkg", "--print-architecture"]).strip()


def native(debarch):
    return debarch == host()


def libraries(debarch):
    """Where the libraries for a program of debarch are: the host's own, or
    the cross compiler's."""
    triplet = ARCHITECTURES[debarch].triplet
    return f"/lib/{triplet}" if native(debarch) else f"/usr/{triplet}/lib"


def cross_compiler(debarch):
    """The cross compiler a foreign guest's package needs, checked."""
    triplet = ARCHITECTURES[debarch].triplet
    need(f"{triplet}-g++", f"g++-{triplet.replace('_', '-')}")


def known(debarch):
    """dpkg and apt know debarch, to fetch its packages: added as scripts/need
    adds a foreign architecture, as root with apt-get, or asked for."""
    if native(debarch) or debarch in run(["dpkg", "--print-foreign-architectures"]).split():
        return
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        raise Failure(f"check-uart fetches {debarch} packages; as root: "
                      f"dpkg --add-architecture {debarch} && apt-get update")
    subprocess.run(["dpkg", "--add-architecture", debarch], check=True)
    subprocess.run(["apt-get", "update"], check=True, stdout=subprocess.DEVNULL,
                   stdin=subprocess.DEVNULL)


@functools.cache
def kvm_usable():
    """/dev/kvm opens for reading and writing, on a CPU that virtualizes: an
    x86 CPU without vmx or svm may still offer a /dev/kvm (PVM's, in a nested
    sandbox), which runs only guest kernels built for it. An arm64 kernel
    offers /dev/kvm only where it can run guests."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    if host() != "amd64":
        return True
    with open("/proc/cpuinfo", encoding="latin-1") as cpuinfo:
        return bool(re.search(r"^flags\s*:.*\b(vmx|svm)\b", cpuinfo.read(), re.M))


def accelerated(guest):
    """The accelerator and the machine's arguments for the guest: KVM with the
    host's CPU for a guest of the host's architecture whose machine KVM runs,
    TCG with the guest's CPU otherwise."""
    if not (guest.kvm and native(guest.debarch) and kvm_usable()):
        return "TCG", [*guest.machine, "-accel", guest.tcg,
                       *(["-cpu", guest.cpu] if guest.cpu else [])]
    machine = list(guest.machine)
    if machine[1].startswith("virt"):
        # ARM's virt machine under KVM: the host's interrupt controller.
        machine[1] += ",gic-version=host"
    return "KVM", [*machine, "-accel", "kvm", *(["-cpu", "host"] if guest.cpu else [])]


def packaged(debarch):
    """The programs of the Debian package for debarch that the cross compiler
    builds, the way docs/real-drivers.md says, in build-DEBARCH beside the
    build; its folder of programs. The package is held to its architecture and
    to lintian."""
    architecture, cache = ARCHITECTURES[debarch], os.path.join(paths.BUILD, "uart")
    build = os.path.join(os.path.dirname(paths.BUILD), f"build-{debarch}")
    toolchain = os.path.join(paths.ROOT, f"cmake/{architecture.triplet}.cmake")
    subprocess.run(["cmake", "-S", paths.ROOT, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                    "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, f"-j{os.cpu_count()}"], check=True,
                   stdout=subprocess.DEVNULL)
    for old in os.listdir(build):
        if old.endswith(".deb"):
            os.remove(os.path.join(build, old))
    subprocess.run(["cpack", "-G", "DEB"], cwd=build, check=True, stdout=subprocess.DEVNULL)
    deb = next(os.path.join(build, f) for f in os.listdir(build) if f.endswith(f"_{debarch}.deb"))
    tree = os.path.join(cache, f"lowrad-{debarch}")
    shutil.rmtree(tree, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
    programs = os.path.join(tree, "usr/bin")
    elf = run(["readelf", "-h", os.path.join(programs, "lowrad")])
    machine = elf.split("Machine:", 1)[1].split("\n", 1)[0].strip()
    depends = run(["dpkg-deb", "-f", deb, "Architecture", "Depends"]).replace("\n", "; ").strip("; ")
    print(f"{os.path.relpath(deb, paths.ROOT)}: {depends}; usr/bin/lowrad: {machine}")
    if machine != architecture.elf or f"Architecture: {debarch}" not in depends:
        raise Failure(f"the {debarch} package holds no {architecture.elf} lowrad")
    # The shipped package meets Debian's policy on every architecture.
    linted = subprocess.run([os.path.join(paths.ROOT, "scripts/check-package"), "--lint", deb],
                            text=True, capture_output=True, check=False)
    if linted.returncode != 0:
        raise Failure(f"lintian finds the {debarch} package at fault:\n{linted.stdout}")
    return programs
