"""The Dask cluster of a sweep or walk-forward: a client of a running scheduler, or of a local
cluster made for the occasion, every wait on the scheduler bounded."""
import asyncio
import contextlib
import gc
import logging
import multiprocessing
import os
import threading
import traceback


def within(timeout, call, *args):
    """`call(*args)`, or TimeoutError after `timeout` seconds: distributed waits without end for a
    scheduler that accepts connections and never answers (its handshake has no time limit)."""
    outcome = {}

    def target():
        try:
            outcome["value"] = call(*args)
        except BaseException as error:  # handed to the caller's thread
            outcome["error"] = error
    thread = threading.Thread(target=target, name="orva-sweep-scheduler", daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        raise TimeoutError(f"{timeout:g} 秒內沒有回應")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def _clients_in(tb):
    """The Dask clients whose frames the traceback `tb` went through (a constructor that failed)."""
    from distributed import Client
    found = []
    while tb is not None:
        candidate = tb.tb_frame.f_locals.get("self")
        if isinstance(candidate, Client) and all(candidate is not c for c in found):
            found.append(candidate)
        tb = tb.tb_next
    return found


# Run by each worker process of a local cluster as it starts (text with a blank: run as a script).
# polars puts a Ctrl-C handler of its own in place when first imported, over an ignored SIGINT,
# and a task inside a query would then raise KeyboardInterrupt: it is imported first.
_IGNORE_CTRL_C = "import signal, polars; signal.signal(signal.SIGINT, signal.SIG_IGN)"


@contextlib.contextmanager
def cluster_client(scheduler, workers, timeout):
    """A client of the scheduler at `scheduler`, or of a local cluster of `workers` processes."""
    from dask import config
    from distributed import Client, LocalCluster
    if scheduler is None:
        if getattr(multiprocessing.current_process(), "_inheriting", False):
            # A worker process starting up re-runs the main script: without the guard it would
            # start a cluster of its own, and the sweep would wait for its workers for ever.
            raise RuntimeError("run_sweep 在 worker 行程啟動時被呼叫: 請把呼叫放在 "
                               "`if __name__ == \"__main__\":` 之下")
        # The cluster closes a nanny for good if its worker is being restarted 15 s after one of
        # its deaths (lost-worker-timeout): workers that die often would all be gone.
        # A Ctrl-C on a terminal reaches the workers too: this process alone ends the sweep, and
        # the workers' own tracebacks would bury its one line.
        with config.set({"distributed.deploy.lost-worker-timeout": "365 days",
                         "distributed.worker.preload": [_IGNORE_CTRL_C]}), \
                LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                             processes=True, dashboard_address=None, silence_logs=logging.ERROR,
                             # its health page on a free port: the default one in use (another
                             # sweep's) would print a warning
                             scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster, \
                Client(cluster) as client:
            yield client
        return
    try:
        client = within(timeout, lambda: Client(scheduler, timeout=timeout, set_as_default=False))
    except (OSError, ValueError, asyncio.TimeoutError) as error:
        # The half-made client in its frames would close at exit on a loop that is gone, with a
        # traceback: closed now, while its loop runs, and marked closed should that time out.
        for half_made in _clients_in(error.__traceback__):
            with contextlib.suppress(Exception):
                half_made.close(timeout=1)
            half_made.status = "closed"
        traceback.clear_frames(error.__traceback__)
        gc.collect()
        raise ConnectionError(f"無法在 {timeout:g} 秒內連線到 Dask 排程器 {scheduler}: "
                              f"{type(error).__name__}: {error}") from None
    try:
        try:
            within(timeout, client.wait_for_workers, 1, timeout)
        except (TimeoutError, asyncio.TimeoutError):
            raise ConnectionError(f"Dask 排程器 {scheduler} 在 {timeout:g} 秒內沒有任何 worker") from None
        yield client
    finally:
        with contextlib.suppress(OSError, asyncio.TimeoutError):  # the rows are in: a silent goodbye loses nothing
            client.close(timeout=timeout)
