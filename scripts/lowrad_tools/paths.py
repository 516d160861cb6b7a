"""Where the source tree, the build and its programs are.

BUILD is build/ beside the sources, or BUILD_DIR (relative to the sources)
where it is set; a command that takes the build as an argument calls use()
once at its start.
"""
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build"))
# The tests' tool that prints lowrad's texts (tests/texts.cpp).
TEXTS = "texts"


def use(build):
    """Makes build the build that program() and the others look in."""
    global BUILD  # pylint: disable=global-statement
    BUILD = os.path.abspath(build)


def program(name, build=None):
    """The path of one of the build's programs."""
    return os.path.join(build or BUILD, "bin", name)


def build(source=ROOT, build_dir=None, *options, targets=()):
    """Configures and builds everything (or only targets), quietly; the build
    type is the one the figures are measured with."""
    build_dir = build_dir or BUILD
    subprocess.run(["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    *options], check=True, stdout=subprocess.DEVNULL)
    chosen = ["--target", *targets] if targets else []
    subprocess.run(["cmake", "--build", build_dir, f"-j{os.cpu_count()}", *chosen], check=True,
                   stdout=subprocess.DEVNULL)
