"""What a guest boots: Debian's kernel, the Pi's device tree, and an
initramfs of busybox, init.sh and lowrad's programs with their libraries.
Debian's packages are fetched once with apt-get download into the build's
uart/ folder, the cache."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile

from . import paths, texts
from .commands import Failure, run
from .traces import MINI_CLOCK

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh")


def cache(*name):
    return os.path.join(paths.BUILD, "uart", *name)


def fetch(package):
    """The .deb of package (name[:arch]) in the cache, downloaded once."""
    name, _, arch = package.partition(":")
    found = [f for f in os.listdir(cache()) if f.startswith(name + "_") and f.endswith(".deb")
             and (not arch or f.endswith(f"_{arch}.deb"))]
    if not found:
        run(["apt-get", "download", package], cwd=cache())
        return fetch(package)
    return cache(found[0])


def unpack(deb, into, members=()):
    """The package unpacked into a folder once; with members (tar patterns),
    only those files."""
    if not os.path.isdir(into):
        os.makedirs(into + ".part", exist_ok=True)
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", into + ".part", "--wildcards", *members],
                       stdin=tar.stdout, check=True)
        if tar.wait() != 0:
            raise Failure(f"dpkg-deb cannot read {deb}")
        os.rename(into + ".part", into)
    return into


def unpacked(package, debarch, member):
    """One file of another architecture's package, such as its busybox."""
    return os.path.join(unpack(fetch(f"{package}:{debarch}"), cache(f"{package}-{debarch}")),
                        member)


def kernel(guest):
    """vmlinuz of Debian's kernel: the meta package names the image."""
    meta = fetch(f"{guest.kernel}:{guest.debarch}")
    depends = run(["dpkg-deb", "-f", meta, "Depends"])
    image = re.match(r"(linux-image-[^ ,]+)", depends).group(1)
    tree = unpack(fetch(f"{image}:{guest.debarch}"), cache(image), guest.files)
    boot = os.path.join(tree, "boot")
    return os.path.join(boot, next(f for f in os.listdir(boot) if f.startswith("vmlinuz")))


def pi_device_tree(guest, kernel_image):
    """Debian's device tree of the Raspberry Pi 3 B, the PL011 without its
    Bluetooth node and the mini UART on a fixed 250 MHz clock:
    docs/real-drivers.md says why."""
    tree = os.path.dirname(os.path.dirname(kernel_image))
    original = os.path.join(tree, run(["find", ".", "-path", guest.dtb], cwd=tree).strip())
    edited = cache("bcm2837-rpi-3-b-check.dtb")
    shutil.copy(original, edited)
    source = run(["dtc", "-I", "dtb", "-O", "dts", edited])
    phandle = str(1 + max(int(h, 16) for h in re.findall(r"phandle = <(0x[0-9a-f]+)>", source)))
    clock = "/mini-uart-clock"
    for edit in (["-r", "/soc/serial@7e201000/bluetooth"], ["-c", clock],
                 ["-ts", clock, "compatible", "fixed-clock"], ["-tu", clock, "#clock-cells", "0"],
                 ["-tu", clock, "clock-frequency", str(MINI_CLOCK)],
                 ["-tu", clock, "phandle", phandle],
                 ["-tu", "/soc/serial@7e215040", "clocks", phandle]):
        run(["fdtput", edit[0], edited, *edit[1:]])
    return edited


def modules(guest, kernel_image):
    """The .ko files of the modules the guest loads, each after those it
    depends on. The kernel's package has no modules.dep: the order comes from
    each module's own depends= field."""
    found = {}
    for folder, _, names in os.walk(os.path.dirname(os.path.dirname(kernel_image))):
        for name in names:
            if name.endswith(".ko"):
                found[name[:-3].replace("-", "_")] = os.path.join(folder, name)
    ordered = []

    def add(name):
        path = found.get(name.replace("-", "_"))
        if path is None:
            raise Failure(f"no module {name} among the files taken from the kernel's package")
        if path in ordered:
            return
        with open(path, "rb") as module:
            depends = re.search(rb"depends=([^\0]*)\0", module.read())
        for dependency in filter(None, depends.group(1).decode().split(",") if depends else []):
            add(dependency)
        ordered.append(path)

    for name in guest.modules:
        add(name)
    return ordered


def needed(program, libdir):
    """The interpreter and the shared libraries program needs, all from libdir."""
    interpreter = re.search(r"interpreter: ([^\]]+)\]", run(["readelf", "-l", program])).group(1)
    wanted, todo = {}, [program]
    while todo:
        for name in re.findall(r"\(NEEDED\).*\[(.+)\]", run(["readelf", "-d", todo.pop()])):
            if name not in wanted:
                wanted[name] = os.path.realpath(os.path.join(libdir, name))
                todo.append(wanted[name])
    return interpreter, wanted


def setup(guest, loaded):
    """What the guest's init runs before it takes commands: lowrad's texts
    that it looks for; the modules it loads, the runner's device it waits for
    and the ports it reports."""
    lines = [f"{name}={shlex.quote(texts.line(name))}"
             for name in ("opened", "failed", "waiting", "timedout")]
    lines += [f"insmod /lib/modules/{os.path.basename(path)}" for path in loaded]
    if guest.mapped:
        lines.append(f"appear {guest.mapped}")
    lines.append(f"serial {guest.counter} {guest.driver}")
    lines += [f"serial {port}" for port in (guest.silent, guest.nouart) if port is not None]
    return "".join(line + "\n" for line in lines)


def initramfs(guest, programs, loaded, busybox, libdir, into):
    """busybox, the programs (into /usr/bin) with their libraries, the
    modules, the init and its set-up."""
    tree = tempfile.mkdtemp(dir=cache())
    for folder in ("bin", "usr/bin", "lib/modules", "proc", "dev"):
        os.makedirs(os.path.join(tree, folder))
    shutil.copy(busybox, os.path.join(tree, "bin/busybox"))
    for program in programs:
        shutil.copy(program, os.path.join(tree, "usr/bin"))
        interpreter, libraries = needed(program, libdir)
        for name, path in libraries.items():
            shutil.copy(path, os.path.join(tree, "lib", name))
    for path in loaded:
        shutil.copy(path, os.path.join(tree, "lib/modules"))
    os.makedirs(os.path.join(tree, os.path.dirname(interpreter).lstrip("/")), exist_ok=True)
    shutil.copy(os.path.join(libdir, os.path.basename(interpreter)),
                os.path.join(tree, interpreter.lstrip("/")))
    shutil.copy(INIT, os.path.join(tree, "init"))
    os.chmod(os.path.join(tree, "init"), 0o755)
    with open(os.path.join(tree, "setup"), "w", encoding="latin-1") as script:
        script.write(setup(guest, loaded))
    files = run(["find", "."], cwd=tree)
    with open(into, "wb") as archive:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=files.encode(), cwd=tree,
                       stdout=archive, check=True)
    shutil.rmtree(tree)
