"""Console, logger and small helpers shared by the extension modules.

The extension modules look `console` and `logger` up on this module at every
message, so a host or a test may replace either object at any time.
"""
import logging
import os
import re
import sys
import time
from datetime import datetime

from rich.console import Console

from orva_backtest.constant import BASIC_INFO


class SilentConsole:
    """Drop-in for the console that prints nothing: printing dominates long runs."""

    def print(self, *objects, **kwargs):
        pass


def unwrapped_console(stderr=False):
    """A rich console that never wraps a line sent to a file or a pipe."""
    console = Console(stderr=stderr, highlight=False)
    if not console.is_terminal:
        console = Console(stderr=stderr, highlight=False, width=100_000, soft_wrap=True)
    return console


def _make_console():
    # As on the command line: every booking is printed only when asked for (its --verbose).
    if os.environ.get("ORVA_CONSOLE", "").strip().lower() in ("on", "1", "true", "yes"):
        return unwrapped_console()
    return SilentConsole()


console = _make_console()


class _DataDirLogHandler(logging.Handler):
    """Appends entries to "logs/orva_backtest.log" under the data directory of the moment."""

    def emit(self, record):
        try:
            log_dir = os.path.join(BASIC_INFO.data_dir, "logs")
            make_dir(log_dir)
            with open(os.path.join(log_dir, "orva_backtest.log"), "a", encoding="utf-8") as f:
                f.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


def _make_logger():
    log = logging.getLogger("orva_backtest")
    if not log.handlers:
        handler = _DataDirLogHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
        log.addHandler(handler)
    log.propagate = False
    return log


logger = _make_logger()


# Polars runs its queries on a pool of threads ("polars-0", "polars-1", ...) it starts at its
# first query. A process forked after that (os.fork, or multiprocessing's default start on
# Linux) has the pool but none of its threads, and its next query waits for them forever: the
# work refuses to start there instead. Other threads of polars' own start at import: no sign.
_POLARS_POOL_THREAD = re.compile(r"polars-\d+$")
_POOL_CHECKED = {}  # pid -> whether its pool runs; a forked child has a pid of its own


def _thread_names():
    """The names of this process's threads; None where they cannot be read."""
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return None
    names = []
    for task in tasks:
        try:
            with open(f"/proc/self/task/{task}/comm", encoding="utf-8", errors="replace") as f:
                names.append(f.read().strip())
        except OSError:
            continue  # the thread ended meanwhile
    return names


def _polars_pool_runs(polars):
    before = _thread_names()
    if before is None:
        return True  # cannot tell: let it try
    polars.thread_pool_size()  # starts the pool here if no parent process had
    # Threads name themselves once running: a pool started a moment ago may not show yet.
    deadline = time.monotonic() + 1.0
    while True:
        names = _thread_names()
        if len(names) > len(before) or any(_POLARS_POOL_THREAD.match(name) for name in names):
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)


def check_not_forked_from_polars(work):
    """Raises RuntimeError in a process forked after polars started its threads, where `work`
    (named in the message) would wait for them forever."""
    polars = sys.modules.get("polars")
    if polars is None:
        return  # loaded here, it starts a pool of its own
    pid = os.getpid()
    if pid not in _POOL_CHECKED:
        _POOL_CHECKED[pid] = _polars_pool_runs(polars)
    if not _POOL_CHECKED[pid]:
        raise RuntimeError(
            f"{work} 無法在 polars 已啟動執行緒之後 fork 出的行程中執行 (polars 會永遠等待): "
            "請改用 multiprocessing.get_context(\"spawn\") 或 \"forkserver\" 啟動工作行程")


def make_dir(path):
    """Creates `path` with its parents; an existing directory is fine."""
    os.makedirs(path, exist_ok=True)


_DATETIME_FORMATS = ("%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d")


def format_to_dt(text):
    """Parses a date ("%Y-%m-%d") or date-time text into a zone-free datetime."""
    if isinstance(text, datetime):
        return text
    if not isinstance(text, str):
        raise TypeError(f"format_to_dt 需要日期文字, 收到 {type(text).__name__}: {text!r}")
    cleaned = text.strip().replace("T", " ")
    for fmt in _DATETIME_FORMATS:
        try:
            return datetime.strptime(cleaned, fmt)
        except ValueError:
            continue
    raise ValueError(
        f"無法解析的日期時間: {text!r} (可用格式: YYYY-MM-DD, YYYY-MM-DD HH:MM, YYYY-MM-DD HH:MM:SS)"
    )


def format_nano_ts_to_second_ts(nano_ts, digits):
    """Nanoseconds since the epoch as seconds, kept to `digits` decimal places."""
    if isinstance(nano_ts, bool) or not isinstance(nano_ts, int):
        raise TypeError(f"nano_ts 必須是整數, 收到 {type(nano_ts).__name__}: {nano_ts!r}")
    # Integer true division is correctly rounded, unlike float(nano_ts) / 1e9.
    return round(nano_ts / 10**9, digits)


# A spreadsheet reads a cell that starts with one of these as a formula (or, for tab and
# carriage return, strips them first); a plain number with a sign is still a number.
_FORMULA_START = r"^[=+\-@\t\r]"
_NUMBER = r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?"


def _guarded(value):
    if isinstance(value, str) and re.match(_FORMULA_START, value) and not re.fullmatch(_NUMBER, value):
        return "'" + value
    return value


def spreadsheet_safe(table):
    """`table` (polars or pandas) with every text cell that a spreadsheet would run as a formula
    prefixed by a single quote, as spreadsheet tools expect. Numbers are never altered: neither
    number columns nor texts that are plain numbers ("-1.5"). Every CSV the project writes goes
    through it."""
    import polars as pl
    if isinstance(table, pl.DataFrame):
        texts = [name for name, dtype in table.schema.items() if dtype == pl.String]
        return table.with_columns(
            pl.when(pl.col(name).str.contains(_FORMULA_START) & ~pl.col(name).str.contains(f"^{_NUMBER}$"))
            .then("'" + pl.col(name)).otherwise(pl.col(name)).alias(name) for name in texts)
    import pandas as pd
    table = table.copy()
    for name in table.columns:
        dtype = table[name].dtype
        # Texts sit in object columns (among other values), or in a string dtype (pandas 3's own).
        if dtype == object or isinstance(dtype, pd.StringDtype):
            table[name] = table[name].map(_guarded)
    return table


def tear_sheet(**options):
    """QuantStats' `reports.html(**options)` without its own output: it prints where it saved
    the page and its charts warn about their tick labels, amid the run's summary (which names
    the page itself)."""
    import contextlib
    import io
    import warnings

    import quantstats_lumi as qs
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.filterwarnings("ignore", category=UserWarning, module=r"quantstats_lumi\b")
        qs.reports.html(**options)


def write_atomically(path, write):
    """Writes through `write(temporary)` and renames into place: a failure leaves no half file."""
    temporary = f"{path}.tmp-{os.getpid()}"
    try:
        write(temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    return path


def write_text(path, text):
    """Writes `text` (UTF-8) through a temporary file, as `write_atomically`."""
    def write(temporary):
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
    return write_atomically(path, write)
