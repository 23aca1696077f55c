"""Where compare runs a command: one run in a process group of its own, with
its output collected (standard output up to MAX_OUTPUT bytes), a time limit,
and the whole group ended however the run ends; and the signals that
interrupt compare, which end the run in progress the same way."""
import os
import selectors
import signal
import subprocess
import time

GRACE = 2.0  # seconds between TERM and KILL
DRAIN = 1.0  # seconds to keep reading after the command exited
MAX_OUTPUT = 16 << 20  # bytes of standard output kept from one run
KEPT_ERROR = 65536  # bytes of standard error kept from one run: its end
# A closed terminal (HUP) or a quit key (QUIT) must end the runs as well:
# each run is in a session of its own, out of reach of the terminal.
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)


class CannotRun(Exception):
    """The command could not be started; says why."""


class Interrupted(Exception):
    """compare received one of SIGNALS; holds the signal's name."""


_signalled = []


def _on_signal(signum, _frame):
    _signalled.append(signum)


def catch_signals():
    """From here on each of SIGNALS is noted, not fatal: the run in progress
    sees it (check_interrupt) and is ended as a whole."""
    for signum in SIGNALS:
        signal.signal(signum, _on_signal)


def check_interrupt():
    if _signalled:
        raise Interrupted(signal.Signals(_signalled[0]).name)


def end_group(process):
    """Ends the process group led by `process`: TERM, then KILL after GRACE
    seconds if anything of it is left."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + GRACE
    while time.monotonic() < deadline:
        if process.poll() is not None:
            try:
                os.killpg(process.pid, 0)
            except ProcessLookupError:
                return
        time.sleep(0.02)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def run_once(words, timeout, progress=lambda elapsed: None):
    """Runs one command in a process group of its own. Returns
    (stdout bytes, stderr bytes, stderr's length, status, problem): of its
    standard error only the last KEPT_ERROR bytes are kept; problem is None
    or why the run was ended early. Raises CannotRun, or Interrupted when
    one of SIGNALS arrived (the run ended)."""
    try:
        process = subprocess.Popen(words, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
    except (OSError, ValueError) as error:
        raise CannotRun(f"cannot run: {getattr(error, 'strerror', None) or error}") from error
    out, err = bytearray(), bytearray()
    err_length = 0
    problem = None
    start = time.monotonic()
    drain_until = None
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ, out)
        selector.register(process.stderr, selectors.EVENT_READ, err)
        try:
            # Until the command has exited and its output is read; a command may close
            # its output before it exits.
            while selector.get_map() or process.poll() is None:
                check_interrupt()
                now = time.monotonic()
                progress(now - start)
                if drain_until is None and process.poll() is not None:
                    drain_until = now + DRAIN
                if drain_until is not None and now >= drain_until:
                    problem = (f"exited, but a process it started still held its output open "
                               f"{DRAIN:g} s later; its process group was ended, but a "
                               f"process that left the group (setsid) may still run")
                    break
                if now - start >= timeout:
                    problem = f"did not finish within {timeout:g} s (--timeout); it was ended"
                    break
                if not selector.get_map():
                    time.sleep(0.02)
                for key, _ in selector.select(timeout=0.1) if selector.get_map() else ():
                    chunk = os.read(key.fd, 65536)
                    if not chunk:
                        selector.unregister(key.fileobj)
                    elif key.data is out and len(out) + len(chunk) > MAX_OUTPUT:
                        problem = f"wrote more than {MAX_OUTPUT} bytes to standard output"
                        break
                    else:
                        key.data.extend(chunk)
                        if key.data is err:
                            err_length += len(chunk)
                            del err[:-KEPT_ERROR]
                if problem:
                    break
        finally:
            # Whatever happened, nothing of this run is left running.
            end_group(process)
            process.stdout.close()
            process.stderr.close()
    return bytes(out), bytes(err), err_length, process.wait(), problem
