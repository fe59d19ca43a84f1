#!/usr/bin/env python3
"""A parent process that follows a terminal-mode run through NEMRA_PROGRESS_FD, written from
docs/progress.md alone, and the scenarios CTest runs with it.

usage: progress_parent.py SCENARIO PROGRAM [FIXTURE_TABLE...]
"""
import json
import os
import re
import subprocess
import sys

TIMEOUT = 120
VARIABLE = "NEMRA_PROGRESS_FD"


def check(ok, what):
    if not ok:
        print(f"FAILED: {what}", file=sys.stderr)
        sys.exit(1)


def environment(table, extra=None):
    env = dict(os.environ)
    env.pop(VARIABLE, None)
    if table:
        env["NEMRA_FIXTURE"] = table
    env.update(extra or {})
    return env


def normalised(stderr):
    """Standard error without what differs from run to run: addresses."""
    return re.sub(rb"0x[0-9a-f]{6,}", b"0x?", stderr)


def plain_run(program, table):
    """Standard error (normalised) and exit status of a run without the variable."""
    proc = subprocess.run([program], env=environment(table), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=TIMEOUT)
    return normalised(proc.stderr), proc.returncode


def start_with_pipe(program, table, args=(), stdin=subprocess.DEVNULL):
    """Starts the program with the writing end of a pipe named by the variable; returns the
    process and the reading end."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen([program, *args], env=environment(table, {VARIABLE: str(write_end)}),
                            stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            pass_fds=(write_end,))
    os.close(write_end)
    return proc, read_end


def read_lines(fd):
    data = b""
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        data += chunk
    os.close(fd)
    check(data == b"" or data.endswith(b"\n"), f"reports end inside a line: {data[-80:]!r}")
    return data.decode("utf-8").splitlines()


def line_results(stderr, names):
    """(outcome, error) per check from the line output on standard error."""
    text = stderr.decode("utf-8")
    n = len(names)
    results = []
    pos = 0
    for i, name in enumerate(names):
        marker = f"{i + 1}/{n} {name}..."
        at = text.find(marker, pos)
        check(at >= 0, f"standard error lacks {marker!r}")
        pos = at + len(marker)
        nxt = text.find(f"{i + 2}/{n} ", pos) if i + 1 < n else len(text)
        segment = text[pos:nxt]
        for line in segment.split("\n"):
            if line in ("OK", "SKIP"):
                results.append(("pass", None) if line == "OK" else ("skip", "SkipTest"))
                break
            failed = re.search(r"FAIL \((.*)\)$", line)
            if failed:
                results.append(("fail", failed.group(1)))
                break
        else:
            check(False, f"no result word for {name!r}")
    return results


def scenario_reports(program, tables):
    for table in tables or [None]:
        expected_err, expected_status = plain_run(program, table)
        proc, read_end = start_with_pipe(program, table)
        lines = read_lines(read_end)
        _, err = proc.communicate(timeout=TIMEOUT)
        where = f"{os.path.basename(program)} {table or ''}"
        check(normalised(err) == expected_err, f"{where}: standard error changed:\n{err.decode()}")
        check(proc.returncode == expected_status,
              f"{where}: status {proc.returncode}, without reports {expected_status}")

        events = [json.loads(line) for line in lines]
        check(events and events[0] == {"event": "start", "total": events[0].get("total")},
              f"{where}: first event {events[:1]}")
        total = events[0]["total"]
        check(len(events) == 2 + 2 * total, f"{where}: {len(events)} events for {total} checks")
        names = []
        counts = {"passed": 0, "skipped": 0, "failed": 0, "leaked": 0, "errors": 0, "fuzz": 0}
        results = []
        for i in range(total):
            started, result = events[1 + 2 * i], events[2 + 2 * i]
            check(set(started) == {"event", "index", "name"} and started["event"] == "check"
                  and started["index"] == i + 1, f"{where}: {started}")
            names.append(started["name"])
            check(set(result) == {"event", "index", "name", "outcome", "error", "leaked",
                                  "errors", "fuzz", "ms"}, f"{where}: fields of {result}")
            check(result["event"] == "result" and result["index"] == i + 1
                  and result["name"] == started["name"], f"{where}: {result}")
            check(result["outcome"] in ("pass", "fail", "skip"), f"{where}: {result}")
            check((result["error"] is None) == (result["outcome"] == "pass"), f"{where}: {result}")
            check(type(result["leaked"]) is bool and type(result["fuzz"]) is bool
                  and type(result["errors"]) is int and result["errors"] >= 0, f"{where}: {result}")
            check(isinstance(result["ms"], (int, float)) and result["ms"] >= 0, f"{where}: {result}")
            counts[{"pass": "passed", "skip": "skipped", "fail": "failed"}[result["outcome"]]] += 1
            counts["leaked"] += result["leaked"]
            counts["errors"] += result["errors"]
            counts["fuzz"] += result["fuzz"]
            results.append((result["outcome"], result["error"]))
        check(line_results(err, names) == results,
              f"{where}: results differ from the line output: {results}")
        end = events[-1]
        check(end == {"event": "end", **counts, "status": proc.returncode},
              f"{where}: end {end}, counted {counts}, status {proc.returncode}")


def scenario_reader_goes_away(program, tables):
    """The parent closes its end after the second check has started: the run goes on with the
    same standard error and status. Also a reader that is gone before the run starts."""
    for table in tables:
        expected_err, expected_status = plain_run(program, table)
        proc, read_end = start_with_pipe(program, table)
        seen = b""
        while seen.count(b"\n") < 4:  # start, check 1, result 1, check 2
            chunk = os.read(read_end, 1)
            check(chunk, f"{table}: reports ended early: {seen!r}")
            seen += chunk
        os.close(read_end)
        _, err = proc.communicate(timeout=TIMEOUT)
        check(proc.returncode == expected_status,
              f"{table}: status {proc.returncode} after the reader left, {expected_status} without")
        check(normalised(err) == expected_err,
              f"{table}: standard error changed:\n{err.decode()}")

        read_end, write_end = os.pipe()
        os.close(read_end)
        proc = subprocess.run([program], env=environment(table, {VARIABLE: str(write_end)}),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, pass_fds=(write_end,), timeout=TIMEOUT)
        os.close(write_end)
        check(proc.returncode == expected_status and normalised(proc.stderr) == expected_err,
              f"{table}: with no reader at all: status {proc.returncode}\n{proc.stderr.decode()}")


def scenario_unusable(program, tables):
    """Each unusable value gives one warning line first; the rest is unchanged."""
    table = tables[0] if tables else None
    expected_err, expected_status = plain_run(program, table)
    read_end, write_end = os.pipe()
    cases = [("abc", "not a descriptor number"), ("-1", "not a descriptor number"),
             (" 3", "not a descriptor number"), ("99999999999", "not a descriptor number"),
             ("2", "descriptor 2 is standard error"), ("250", "descriptor 250 is not open"),
             (str(read_end), f"descriptor {read_end} is not open for writing")]
    for value, why in cases:
        proc = subprocess.run([program], env=environment(table, {VARIABLE: value}),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, pass_fds=(read_end,), timeout=TIMEOUT)
        warning = (f'[progress] (warn): {VARIABLE}="{value}": {why}; no progress reports\n'
                   .encode())
        check(normalised(proc.stderr) == warning + expected_err,
              f"{value!r}: standard error\n{proc.stderr.decode()}")
        check(proc.returncode == expected_status, f"{value!r}: status {proc.returncode}")
    os.close(read_end)
    os.close(write_end)


def scenario_server_ignores(program, _tables):
    """--listen=- runs no terminal mode: nothing reaches the descriptor."""
    proc, read_end = start_with_pipe(program, None, ["--listen=-"], stdin=subprocess.PIPE)
    proc.stdin.write(b"\x03\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00")  # run check 0
    proc.stdin.write(b"\x01\x00\x00\x00\x00\x00\x00\x00")  # exit
    proc.stdin.close()
    lines = read_lines(read_end)
    proc.wait(timeout=TIMEOUT)
    check(proc.returncode == 0, f"server status {proc.returncode}")
    check(lines == [], f"the server wrote reports: {lines}")


SCENARIOS = {
    "reports": scenario_reports,
    "reader-goes-away": scenario_reader_goes_away,
    "unusable": scenario_unusable,
    "server-ignores": scenario_server_ignores,
}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]](sys.argv[2], sys.argv[3:])
