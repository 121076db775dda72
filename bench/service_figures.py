"""Figures of one service-bench.sh run: the day CSV before and after the measured stretch, its
length, the service's CPU ticks over it, and what a subscriber heard (receive time, payload)."""
import collections
import datetime
import json
import sys

before, after, seconds, ticks, hz, tag, heard = sys.argv[1:]


def rows(path):
    return [r.split(",") for r in open(path).read().splitlines()[1:]]


new = rows(after)[len(rows(before)):]
ok = [r for r in new if r[5] == "ok"]
cpu_ms = int(ticks) / int(hz) * 1000
print("%-8s %d exchanges in %s s, CPU per exchange %.3f ms" % (tag, len(new), seconds, cpu_ms / len(new)))
if tag == "paced":
    request = 12  # FF FF FF FF ":n;423;" CR for a one-digit network number
    answer = collections.Counter(int(r[4]) for r in ok).most_common(1)[0][0]
    wire = (request + answer) * 10 / 19200 * 1000
    rate = len(new) / float(seconds)
    print("  throughput %.2f/s; wire limit %.2f/s (%d + %d bytes, %.1f ms): %.1f %%"
          % (rate, 1000 / wire, request, answer, wire, rate * wire / 10))
    # A pseudo-terminal passes the request at once: only the answer is paced.
    answer_ms = answer * 10 / 19200 * 1000
    print("  against the answer's own wire time (%.1f ms, the request costs a pty nothing): %.1f %%"
          % (answer_ms, rate * answer_ms / 10))
    stamp = lambda r: datetime.datetime.fromisoformat(r[0]).timestamp() * 1000
    busy = sum(int(r[1]) for r in new[:-1])
    span = stamp(new[-1]) - stamp(new[0])
    print("  an exchange in progress %.1f %% of the time (the rest: the service between two)"
          % (100 * busy / span))
latency = []
for line in open(heard):
    at, payload = line.split(" ", 1)
    ts = json.loads(payload)["ts"]
    end = datetime.datetime.strptime(ts, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()
    latency.append((float(at) - end) * 1000)
latency.sort()
if latency:
    print("  exchange end to subscriber: median %.2f ms, p99 %.2f ms (%d messages)"
          % (latency[len(latency) // 2], latency[min(len(latency) - 1, int(len(latency) * 0.99))],
             len(latency)))
