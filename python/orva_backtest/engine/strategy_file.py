"""Loading a user's strategy file: the `Strategy` subclass it defines, for `run` and sweeps alike."""
import hashlib
import inspect
import os
import sys
import types
from importlib.machinery import SourceFileLoader

from orva_backtest.engine.strategy import Strategy


class StrategyFileError(ValueError):
    """A strategy file that is missing, does not load, or does not define the class asked for."""


def load_strategy_class(path, class_name=None):
    """The `Strategy` subclass defined in the file at `path` (one of several by name)."""
    if not os.path.isfile(path):
        raise StrategyFileError(f"找不到策略檔: {path}")
    # The same name in every process (str hashes are salted per process): see sys.modules below.
    name = f"orva_strategy_{hashlib.sha1(os.fsencode(os.path.abspath(path))).hexdigest()[:16]}"
    module = types.ModuleType(name)
    module.__file__ = path
    # Registered as an import would: numba's disk cache finds a compiled function's module by name.
    sys.modules[name] = module
    try:
        SourceFileLoader(name, path).exec_module(module)
    except (Exception, SystemExit) as error:  # the user's file: any failure is reported as one line
        del sys.modules[name]
        raise StrategyFileError(f"策略檔 {path} 載入失敗: {type(error).__name__}: {error}") from error
    found = {name: obj for name, obj in vars(module).items()
             if inspect.isclass(obj) and issubclass(obj, Strategy) and obj is not Strategy
             and obj.__module__ == module.__name__}
    if class_name:
        if class_name not in found:
            raise StrategyFileError(
                f"策略檔 {path} 沒有 Strategy 子類別 {class_name!r} (有: {', '.join(found) or '無'})")
        return found[class_name]
    if len(found) != 1:
        names = ", ".join(found) or "無"
        raise StrategyFileError(f"策略檔 {path} 需要恰好一個 Strategy 子類別 (有: {names}); 用 --strategy-class 指定")
    return next(iter(found.values()))
