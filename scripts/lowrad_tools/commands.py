"""The host's commands as check-uart runs them: their output, or a Failure
that says what went wrong."""
import shutil
import subprocess


class Failure(Exception):
    pass


def run(command, **options):
    """The command's standard output; a failed command raises."""
    return subprocess.run(command, check=True, text=True, capture_output=True, **options).stdout


def need(program, package):
    if shutil.which(program) is None:
        raise Failure(f"{program} is missing: apt-get install {package}")
