"""The performance log of a running proxy under load: one legend, then a
record every 2 seconds whose counters follow the traffic."""
import datetime
import threading
import time

from conftest import Client, wait_until

COLUMNS = 52


def records(proxy):
    if not proxy.perf_log.exists():
        return None, []
    text = proxy.perf_log.read_text()
    legend, _, rest = text.partition("\n")
    return legend, [line.split(",") for line in rest.split("\n")[1:]]


def load(proxy, origin_port, stop, done, failed):
    """Keep-alive requests through the proxy until told to stop; an answer
    other than 200 is kept in `failed` (an assertion in a thread would only
    be a warning) and ends this load."""
    url = f"http://origin.test:{origin_port}/page.html"
    while not stop.is_set():
        with Client(proxy) as c:
            for _ in range(5):
                c.send(f"GET {url} HTTP/1.1\r\nHost: origin.test\r\n\r\n".encode())
                reply = c.response()
                if reply.status != 200:
                    failed.append(reply)
                    return
                done.append(1)


def test_legend_and_records_every_two_seconds_under_load(origin, proxy_factory):
    (origin.root / "page.html").write_text("<html>" + "x" * 4000 + "</html>\n")
    proxy = proxy_factory()
    stop = threading.Event()
    done, failed = [], []
    workers = [threading.Thread(target=load, args=(proxy, origin.port, stop, done, failed))
               for _ in range(4)]
    for w in workers:
        w.start()
    try:
        wait_until(lambda: len(records(proxy)[1]) >= 4, timeout=15)
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert failed == [], failed
    count = len(done)
    # One more record after the load has ended.
    before = len(records(proxy)[1])
    wait_until(lambda: len(records(proxy)[1]) > before, timeout=6)

    legend, recs = records(proxy)
    names = legend.split(" , ")
    assert len(names) == COLUMNS
    assert names[4] == "Client Transactions Handled"
    assert proxy.perf_log.read_text().count("Time Stamp") == 1
    assert len(recs) >= 5
    assert all(len(r) == COLUMNS for r in recs)

    stamps = [datetime.datetime.strptime(r[0], "%Y%m%d%H%M%S") for r in recs]
    gaps = [(b - a).total_seconds() for a, b in zip(stamps, stamps[1:])]
    assert all(1 <= g <= 4 for g in gaps), gaps
    assert recs[0][1] == "0"
    assert int(recs[-1][1]) >= 2 * (len(recs) - 2)

    last = [int(v) for v in recs[-1][1:]]
    col = lambda n: last[n - 2]  # noqa: E731 (columns counted from 1)
    assert col(5) >= count           # transactions handled
    assert col(3) >= 1               # client connections handled
    assert col(13) >= 1              # outbound connections created
    # Bytes count when a socket is destroyed: the closed client sockets
    # read the requests and wrote the pages (pooled server sockets wait).
    assert col(17) >= count * 50 // 1024
    assert col(18) >= count * 4000 // 1024 - 1
    assert col(8) + col(9) + col(7) >= 1         # thread table rows
    assert col(24) > 0 and col(26) > 0 and col(27) > 0
    # The page was made resident in the cache.
    assert col(19) >= 1
    # The deltas add up to the figures.
    for figure, delta in ((3, 32), (5, 34), (13, 42), (17, 46), (19, 48), (20, 49)):
        assert sum(int(r[delta - 1]) for r in recs) == col(figure), (figure, delta)
    assert int(recs[0][31]) == int(recs[0][2])
