#!/usr/bin/env python3
"""A build driver for the self-check program's server mode ("--listen=-"), written from
docs/protocol.md alone, and the scenarios CTest runs with it.

usage: server_client.py SCENARIO PROGRAM [--fixture] [--seed N] [--cases N]
"""
import argparse
import os
import random
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

HEADER = struct.Struct("<II")
EXIT, LIST_CHECKS, RUN_CHECK = 0x01, 0x02, 0x03
VERSION, CHECK_NAMES, CHECK_RESULT = 0x81, 0x82, 0x83
FAILED, SKIPPED, LEAKED, FUZZ = 1, 2, 4, 8
REQUEST_SIZES = {EXIT: 0, LIST_CHECKS: 0, RUN_CHECK: 4}
MAX_REQUEST_PAYLOAD = 256
MAX_RESPONSE_PAYLOAD = 1 << 20
VERSION_TEXT = b"nemra-selfcheck protocol 1"
FATAL = "panic: internal test runner failure\n"
TIMEOUT = 60.0


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def message(kind, payload=b"", length=None):
    return HEADER.pack(kind, len(payload) if length is None else length) + payload


def run_request(index):
    return message(RUN_CHECK, struct.pack("<I", index))


class Server:
    """One server process; standard error goes to a file so that it can never block the server."""

    def __init__(self, program):
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([program, "--listen=-"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errors)
        self.out = self.proc.stdout.fileno()
        self.deadline = time.monotonic() + TIMEOUT

    def send(self, data):
        """Writes data; False when the server no longer reads its input."""
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
            return True
        except BrokenPipeError:
            return False

    def close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            left = self.deadline - time.monotonic()
            check(left > 0, "server sent nothing before the time limit")
            ready, _, _ = select.select([self.out], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.out, n - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def read_message(self):
        """The next (kind, payload), or None at end of output on a message boundary."""
        header = self.read_exact(HEADER.size)
        if not header:
            return None
        check(len(header) == HEADER.size, f"output ends inside a header: {header!r}")
        kind, length = HEADER.unpack(header)
        check(length <= MAX_RESPONSE_PAYLOAD, f"response payload of {length} bytes")
        payload = self.read_exact(length)
        check(len(payload) == length, f"output ends inside a payload of kind {kind:#x}")
        return kind, payload

    def expect_message(self, kind):
        got = self.read_message()
        check(got is not None, f"server output ended; expected message kind {kind:#x}")
        check(got[0] == kind, f"message kind {got[0]:#x}, expected {kind:#x}")
        return got[1]

    def handshake(self):
        check(self.expect_message(VERSION) == VERSION_TEXT, "unexpected version string")

    def names(self):
        check(self.send(message(LIST_CHECKS)), "server stopped reading")
        return parse_names(self.expect_message(CHECK_NAMES))

    def run(self, index):
        check(self.send(run_request(index)), "server stopped reading")
        result = parse_result(self.expect_message(CHECK_RESULT))
        check(result["index"] == index, f"result for index {result['index']}, asked for {index}")
        return result

    def finish(self):
        """Waits for the process to end; returns (status, standard error text)."""
        try:
            self.proc.wait(timeout=max(0.1, self.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("server did not end before the time limit")
        self.errors.seek(0)
        text = self.errors.read().decode("utf-8", "replace")
        self.errors.close()
        self.proc.stdout.close()
        return self.proc.returncode, text

    def expect_no_more_output(self):
        check(self.read_message() is None, "server sent more than expected")


def parse_names(payload):
    check(len(payload) >= 4, "check-names payload shorter than its count")
    (count,) = struct.unpack_from("<I", payload)
    names, pos = [], 4
    for _ in range(count):
        check(pos + 4 <= len(payload), "check-names payload ends inside a length")
        (size,) = struct.unpack_from("<I", payload, pos)
        pos += 4
        check(pos + size <= len(payload), "check-names payload ends inside a name")
        names.append(payload[pos:pos + size].decode("utf-8"))
        pos += size
    check(pos == len(payload), "check-names payload has trailing bytes")
    return names


def parse_result(payload):
    check(len(payload) >= 20, f"check-result payload of {len(payload)} bytes")
    index, flags, errors, size = struct.unpack_from("<IIQI", payload)
    check(len(payload) == 20 + size, "check-result payload length disagrees with its name")
    check(flags & ~(FAILED | SKIPPED | LEAKED | FUZZ) == 0, f"unknown flag bits {flags:#x}")
    check(not (flags & FAILED and flags & SKIPPED), "a check both failed and skipped")
    return {"index": index, "flags": flags, "errors": errors,
            "error": payload[20:].decode("utf-8")}


def expect_fatal(status, stderr, what):
    check(status == -signal.SIGABRT, f"{what}: status {status}, expected death by SIGABRT")
    check(FATAL in stderr, f"{what}: no fatal error on standard error:\n{stderr}")


def full_session(program):
    """Version, names, every check once, exit: returns (names, results)."""
    server = Server(program)
    server.handshake()
    names = server.names()
    results = [server.run(i) for i in range(len(names))]
    check(server.send(message(EXIT)), "server stopped reading before the exit request")
    server.expect_no_more_output()
    status, stderr = server.finish()
    check(status == 0, f"exit request gave status {status}; standard error:\n{stderr}")
    return names, results


# --- scenarios ---------------------------------------------------------------------------------

def scenario_session(program, _args):
    names, results = full_session(program)
    check(len(names) > 0, "the table is empty")
    check(len(set(names)) == len(names), "check names repeat")
    for name, result in zip(names, results):
        check(bool(result["error"]) == bool(result["flags"] & (FAILED | SKIPPED)),
              f"{name}: error name {result['error']!r} with flags {result['flags']:#x}")


FIXTURE_EXPECTED = [
    # name, flags, err-level messages, error name
    ("fixture.test.passes", 0, 0, ""),
    ("fixture.test.fails", FAILED, 0, "TestUnexpectedResult"),
    ("fixture.test.fails approx", FAILED, 0, "TestExpectedApproxEqAbs"),
    ("fixture.test.leaks two blocks", LEAKED, 2, ""),
    ("fixture.test.skips", SKIPPED, 0, "SkipTest"),
    ("fixture.test.marks fuzz", FUZZ, 0, ""),
    ("fixture.test.logs two errors", 0, 2, ""),
    ("fixture.test.leaks then fails", FAILED | LEAKED, 1, "OutOfMemory"),
    ("fixture.test.prints to stdout", 0, 0, ""),
    ("fixture.test.reads stdin", 0, 0, ""),
    ("fixture.test.skips as fuzz: Π² = Π → ✓", SKIPPED | FUZZ, 0, "SkipTest"),
    ("fixture.test.throws bad_alloc", FAILED | LEAKED, 1, "OutOfMemory"),
]


def scenario_fixture_outcomes(program, _args):
    server = Server(program)
    server.handshake()
    names = server.names()
    check(names == [e[0] for e in FIXTURE_EXPECTED], f"fixture names: {names}")
    # Twice through, and backwards the second time: a check's counts and flags must be its own,
    # not left over from the check before it.
    order = list(range(len(names))) + list(reversed(range(len(names))))
    for i in order:
        name, flags, errors, error = FIXTURE_EXPECTED[i]
        got = server.run(i)
        check((got["flags"], got["errors"], got["error"]) == (flags, errors, error),
              f"{name}: got flags {got['flags']:#x}, {got['errors']} errors, {got['error']!r}; "
              f"expected {flags:#x}, {errors}, {error!r}")
    check(server.send(message(EXIT)), "server stopped reading")
    server.expect_no_more_output()
    status, stderr = server.finish()
    check(status == 0, f"status {status} after the exit request")
    # What the checks printed reached standard error, and the server added no lines of its own.
    for text in ("printf to stdout\n", "std::cout to stdout\n", "write(1) to stdout\n",
                 "actual 1e0, not within absolute tolerance 1e-10 of expected 2e0\n",
                 "[fixture] (err): first error\n", "[gpa] (err): memory address 0x"):
        check(text in stderr, f"standard error lacks {text!r}:\n{stderr}")
    check("fixture.test" not in stderr and "OK\n" not in stderr and "passed" not in stderr,
          f"the server printed run output of its own:\n{stderr}")


def terminal_outcomes(program, names):
    """Per-check (flags without fuzz, err count, error name) and the summary, from the terminal
    mode's line output."""
    proc = subprocess.run([program], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=TIMEOUT)
    text = proc.stderr.decode("utf-8")
    n = len(names)
    starts = []
    pos = 0
    for i, name in enumerate(names):
        marker = f"{i + 1}/{n} {name}..."
        found = text.find(marker, pos)
        check(found >= 0, f"terminal output lacks {marker!r}:\n{text}")
        starts.append((found, found + len(marker)))
        pos = found + len(marker)
    summary_at = max(text.rfind("All "), text.rfind(" passed; "))
    summary_at = text.rfind("\n", 0, summary_at) + 1
    outcomes = []
    for i, (start, body) in enumerate(starts):
        end = starts[i + 1][0] if i + 1 < n else summary_at
        segment = text[body:end]
        flags, error = None, ""
        for line in segment.split("\n"):
            if line in ("OK", "SKIP"):
                flags, error = (0, "") if line == "OK" else (SKIPPED, "SkipTest")
                break
            failed = re.fullmatch(r"FAIL \((.*)\)", line)
            if failed:
                flags, error = FAILED, failed.group(1)
                break
        check(flags is not None, f"no result word for {names[i]!r} in {segment!r}")
        if "[gpa] (err): memory address 0x" in segment:
            flags |= LEAKED
        errors = len(re.findall(r"\[[^\]\n]*\] \(err\): ", segment))
        outcomes.append((flags, errors, error))
    summary = text[summary_at:]
    fuzz = re.search(r"^(\d+) fuzz tests found\.$", summary, re.M)
    return outcomes, (int(fuzz.group(1)) if fuzz else 0), summary


def scenario_equivalence(program, _args):
    names, results = full_session(program)
    outcomes, fuzz_total, summary = terminal_outcomes(program, names)
    for name, result, terminal in zip(names, results, outcomes):
        served = (result["flags"] & ~FUZZ, result["errors"], result["error"])
        check(served == terminal, f"{name}: server {served}, terminal mode {terminal}")
    served_fuzz = sum(1 for r in results if r["flags"] & FUZZ)
    check(served_fuzz == fuzz_total, f"fuzz: server {served_fuzz}, terminal mode {fuzz_total}")
    errors = sum(r["errors"] for r in results)
    logged = re.search(r"^(\d+) errors were logged\.$", summary, re.M)
    check((int(logged.group(1)) if logged else 0) == errors,
          f"errors: server {errors}, terminal summary:\n{summary}")


def scenario_unsupported_kind(program, _args):
    # The kind decides before the length: a huge declared length must not matter.
    for kind, length in ((0x0, 0), (0x4, 0), (CHECK_NAMES, 0), (0xDEADBEEF, 0xFFFFFFFF)):
        server = Server(program)
        server.handshake()
        server.names()
        server.send(message(kind, b"", length))  # input left open: the server must not wait
        server.expect_no_more_output()
        status, stderr = server.finish()
        check(status == 1, f"kind {kind:#x}: status {status}")
        check(stderr == f"unsupported message: {kind:x}\n", f"kind {kind:#x}: stderr {stderr!r}")


def scenario_driver_gone(program, _args):
    """End of input where a request would start: a quiet exit with status 1, before and after
    requests were served."""
    for before in (b"", message(LIST_CHECKS) + run_request(0)):
        server = Server(program)
        server.send(before)
        server.close_input()
        server.handshake()
        if before:
            server.expect_message(CHECK_NAMES)
            server.expect_message(CHECK_RESULT)
        server.expect_no_more_output()
        status, stderr = server.finish()
        check(status == 1, f"status {status} when the driver went away")
        check("panic" not in stderr and "unsupported" not in stderr, f"stderr: {stderr!r}")


def scenario_driver_stops_reading(program, _args):
    """The driver closes its end of the server's output and sends a request: the answer fails
    with EPIPE and the server exits with status 1, neither killed by SIGPIPE nor panicking."""
    server = Server(program)
    server.proc.stdout.close()
    server.send(message(LIST_CHECKS))  # input left open
    try:
        server.proc.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        server.proc.kill()
        raise Failure("server did not end after its output was closed")
    server.errors.seek(0)
    stderr = server.errors.read().decode()
    check(server.proc.returncode == 1, f"status {server.proc.returncode}; stderr {stderr!r}")
    check("panic" not in stderr, f"stderr: {stderr!r}")


def scenario_truncated_header(program, _args):
    for cut in (1, 4, 7):
        server = Server(program)
        server.send(run_request(0)[:cut])
        server.close_input()
        server.handshake()
        server.expect_no_more_output()
        expect_fatal(*server.finish(), f"header cut after {cut} bytes")


def scenario_truncated_payload(program, _args):
    for cut in (0, 3):
        server = Server(program)
        server.send(message(RUN_CHECK, b"", 4) + b"\0" * cut)
        server.close_input()
        server.handshake()
        server.expect_no_more_output()
        status, stderr = server.finish()
        expect_fatal(status, stderr, f"payload cut after {cut} bytes")
        check(f"({cut} of 4 bytes)" in stderr, f"stderr: {stderr!r}")


def scenario_payload_too_long(program, _args):
    # Declared lengths just past the bound and far past it, with no payload following and the
    # input left open: the server must refuse at once rather than wait for (or store) the payload.
    for kind, length in ((RUN_CHECK, MAX_REQUEST_PAYLOAD + 1), (LIST_CHECKS, 0xFFFFFFFF),
                         (EXIT, 0x7FFFFFFF)):
        server = Server(program)
        server.handshake()
        server.send(message(kind, b"", length))
        server.expect_no_more_output()
        status, stderr = server.finish()
        expect_fatal(status, stderr, f"kind {kind:#x} length {length}")
        check("above the limit of 256" in stderr, f"stderr: {stderr!r}")


def scenario_wrong_payload_size(program, _args):
    for data in (message(RUN_CHECK, b"\0\0"), message(RUN_CHECK, b"\0" * 8),
                 message(EXIT, b"\0"), message(LIST_CHECKS, b"\0" * 4)):
        server = Server(program)
        server.handshake()
        server.send(data)  # input left open
        server.expect_no_more_output()
        expect_fatal(*server.finish(), f"request {data.hex()}")


def scenario_index_out_of_range(program, _args):
    server = Server(program)
    server.handshake()
    count = len(server.names())
    server.close_input()
    server.finish()
    for index in (count, 0xFFFFFFFF):
        server = Server(program)
        server.handshake()
        server.send(run_request(index))
        server.expect_no_more_output()
        status, stderr = server.finish()
        expect_fatal(status, stderr, f"index {index}")
        check(f"no check with index {index}" in stderr, f"stderr: {stderr!r}")


# --- randomised streams ------------------------------------------------------------------------

def model(stream, count):
    """What the documented rules say a server does with `stream` followed by end of input:
    (ending, expected responses), the ending being ('exit',), ('gone',), ('fatal',) or
    ('unsupported', kind)."""
    pos, responses = 0, []
    while True:
        if pos == len(stream):
            return ("gone",), responses
        if len(stream) - pos < HEADER.size:
            return ("fatal",), responses
        kind, length = HEADER.unpack_from(stream, pos)
        pos += HEADER.size
        if kind not in REQUEST_SIZES:
            return ("unsupported", kind), responses
        if length > MAX_REQUEST_PAYLOAD or length != REQUEST_SIZES[kind]:
            return ("fatal",), responses
        if len(stream) - pos < length:
            return ("fatal",), responses
        payload = stream[pos:pos + length]
        pos += length
        if kind == EXIT:
            return ("exit",), responses
        if kind == LIST_CHECKS:
            responses.append(("names",))
            continue
        (index,) = struct.unpack("<I", payload)
        if index >= count:
            return ("fatal",), responses
        responses.append(("result", index))


def random_stream(rng, count):
    requests = []
    for _ in range(rng.randrange(0, 6)):
        roll = rng.random()
        if roll < 0.25:
            requests.append(message(LIST_CHECKS))
        elif roll < 0.9:
            requests.append(run_request(rng.randrange(count)))
        else:
            requests.append(run_request(rng.choice([count, count + 1, 0xFFFFFFFF])))
    if rng.random() < 0.5:
        requests.append(message(EXIT))
    stream = bytearray(b"".join(requests))
    mutation = rng.randrange(10)  # 0 and 6..9: left intact
    if mutation == 1 and stream:
        stream[rng.randrange(len(stream))] ^= 1 << rng.randrange(8)
    elif mutation == 2 and stream:
        del stream[rng.randrange(len(stream)):]
    elif mutation == 3:
        at = rng.randrange(len(stream) + 1)
        stream[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 12)))
    elif mutation == 4:
        stream = bytearray(rng.randrange(256) for _ in range(rng.randrange(0, 40)))
    elif mutation == 5:
        # A header of a random kind with a random declared length.
        stream += message(rng.choice([0, 1, 2, 3, 4, 0x81, rng.randrange(1 << 32)]), b"",
                          rng.choice([0, 4, 256, 257, rng.randrange(1 << 32)]))
    return bytes(stream)


def serve_stream(program, stream):
    """Feeds `stream` and then end of input; returns (status, stderr, responses read)."""
    server = Server(program)
    writer = threading.Thread(target=lambda: (server.send(stream), server.close_input()))
    writer.start()
    responses = []
    while True:
        got = server.read_message()
        if got is None:
            break
        responses.append(got)
    writer.join()
    status, stderr = server.finish()
    return status, stderr, responses


def scenario_random_streams(program, args):
    _, reference = full_session(program)
    names_server = Server(program)
    names_server.handshake()
    names_server.send(message(LIST_CHECKS))
    names_payload = names_server.expect_message(CHECK_NAMES)
    names_server.close_input()
    names_server.finish()
    count = len(reference)

    rng = random.Random(args.seed)
    for case in range(args.cases):
        stream = random_stream(rng, count)
        ending, expected = model(stream, count)
        status, stderr, responses = serve_stream(program, stream)
        where = f"case {case} (stream {stream.hex()})"
        check(responses and responses[0] == (VERSION, VERSION_TEXT), f"{where}: no announcement")
        got = []
        for kind, payload in responses[1:]:
            if kind == CHECK_NAMES:
                check(payload == names_payload, f"{where}: names differ")
                got.append(("names",))
            else:
                check(kind == CHECK_RESULT, f"{where}: response kind {kind:#x}")
                result = parse_result(payload)
                check(result == reference[result["index"]], f"{where}: {result}")
                got.append(("result", result["index"]))
        check(got == expected, f"{where}: responses {got}, expected {expected}")
        if ending[0] == "exit":
            check(status == 0, f"{where}: status {status} after exit")
        elif ending[0] == "gone":
            check(status == 1 and "panic" not in stderr, f"{where}: status {status}, {stderr!r}")
        elif ending[0] == "unsupported":
            check(status == 1, f"{where}: status {status}")
            check(stderr.endswith(f"unsupported message: {ending[1]:x}\n"), f"{where}: {stderr!r}")
        else:
            expect_fatal(status, stderr, where)


SCENARIOS = {
    "session": scenario_session,
    "fixture-outcomes": scenario_fixture_outcomes,
    "equivalence": scenario_equivalence,
    "unsupported-kind": scenario_unsupported_kind,
    "driver-gone": scenario_driver_gone,
    "driver-stops-reading": scenario_driver_stops_reading,
    "truncated-header": scenario_truncated_header,
    "truncated-payload": scenario_truncated_payload,
    "payload-too-long": scenario_payload_too_long,
    "wrong-payload-size": scenario_wrong_payload_size,
    "index-out-of-range": scenario_index_out_of_range,
    "random-streams": scenario_random_streams,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("program")
    parser.add_argument("--seed", type=int, default=20240613)
    parser.add_argument("--cases", type=int, default=150)
    args = parser.parse_args()
    try:
        SCENARIOS[args.scenario](args.program, args)
    except Failure as failure:
        print(f"FAILED {args.scenario}: {failure}", file=sys.stderr)
        return 1
    print(f"passed {args.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
