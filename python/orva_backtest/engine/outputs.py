"""A run's output files: each run writes its trade records and reports into a folder of its own
under the data directory (`runs/<time>-<strategy>/`), and steps inside the data and report
libraries are waited for at interpreter exit."""
import atexit
import os
import re
import threading
from datetime import datetime, timedelta, timezone

from orva_backtest.constant import BASIC_INFO

# Held while a run is inside the data and report libraries (polars, pandas, matplotlib):
# loading the days, writing one output file. A daemon thread stopped by interpreter exit in
# there aborts the process or leaves a temporary file, so exit waits for the step under way,
# and a run on a daemon thread starts no other.
_IN_LIBRARIES = threading.Lock()
_EXITING = threading.Event()
_EXIT_WAIT = []  # registered once, at the first run


def _wait_for_the_step_under_way():
    _EXITING.set()
    _IN_LIBRARIES.acquire(timeout=60)


def register_exit_wait():
    """Called by each run once the engine modules are loaded: their own exit hooks park threads
    that enter our methods, which would then never end a step, so this one must run first."""
    if not _EXIT_WAIT:
        _EXIT_WAIT.append(atexit.register(_wait_for_the_step_under_way))


def library_step(step, *args):
    if _EXITING.is_set() and threading.current_thread() is not threading.main_thread():
        threading.Event().wait()  # parks this daemon thread until exit ends it
    with _IN_LIBRARIES:
        return step(*args)


# Every folder is named on the exchange's clock, whatever the machine's zone: runs, sweeps and
# walk-forwards sort in the order they started. Taiwan keeps no daylight saving time.
TAIPEI = timezone(timedelta(hours=8))


def new_folder(parent, name="", what="輸出"):
    """Creates `<parent>/<YYYYmmdd-HHMMSS>[-name][-n]` (Taipei time) and returns it: a name no
    other folder there has, even one made in the same second (made by mkdir, which only one wins)."""
    base = os.path.join(parent, f"{datetime.now(TAIPEI):%Y%m%d-%H%M%S}" + (f"-{name}" if name else ""))
    os.makedirs(parent, exist_ok=True)
    for n in range(1, 10_000):
        folder = base if n == 1 else f"{base}-{n}"
        try:
            os.mkdir(folder)
            return folder
        except FileExistsError:
            continue
    raise FileExistsError(f"無法建立{what}資料夾: {base}-* 都已存在")


def new_run_folder(data_dir, strategy):
    """Creates `runs/<YYYYmmdd-HHMMSS>-<strategy class>[-n]` under `data_dir`."""
    name = re.sub(r"[^A-Za-z0-9_.-]", "_", type(strategy).__name__)[:60] or "strategy"
    return new_folder(os.path.join(data_dir, "runs"), name, "回測輸出")


def write_reports(result, folder):
    """Exports the trade records, writes both reports of every traded instrument and, when
    anything traded, the account report, into `folder` (the report methods write under the data
    directory: it points there meanwhile). Returns the files written."""
    from orva_backtest.engine.account_report import write_account_report
    account, quotes = result.account, result.quotes
    previous = BASIC_INFO._data_dir
    BASIC_INFO.data_dir = folder
    try:
        library_step(account.export_trade_records)
        traded = [c for c in result.instruments if any(r["code"] == c for r in account.trade_records)]
        for code in traded:
            library_step(account.generate_standard_report, code, quotes)
            library_step(account.generate_qs_profit_report, code, quotes)
        if traded:
            library_step(write_account_report, result, folder)
    finally:
        BASIC_INFO.data_dir = previous
    return sorted(os.path.join(root, name) for root, _, names in os.walk(folder) for name in names
                  if ".tmp-" not in name)
