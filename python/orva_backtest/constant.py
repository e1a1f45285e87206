"""Enumerations and tables shared by the extension modules."""
import os
from enum import Enum


class TextEnum(str, Enum):
    """A text enumeration: every member equals, hashes and prints as its text."""

    def __str__(self):
        return self.value

    def __format__(self, how):
        return format(self.value, how)

    @classmethod
    def from_value(cls, value):
        """Returns the member for a member or its value text; ValueError otherwise."""
        if isinstance(value, cls):
            return value
        if isinstance(value, str):
            member = cls._value2member_map_.get(str.__str__(value))
            if member is not None:
                return member
        raise ValueError(f"{cls.__name__} 不支援的值: {value!r}")


class Action(TextEnum):
    BUY = "Buy"
    SELL = "Sell"


class PriceType(TextEnum):
    LMT = "LMT"  # limit
    MKT = "MKT"  # market
    MKP = "MKP"  # market with protection


class OrderType(TextEnum):
    ROD = "ROD"  # rest of day
    IOC = "IOC"  # immediate or cancel
    FOK = "FOK"  # fill or kill


class OrderCond(TextEnum):
    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class OrderLot(TextEnum):
    COMMON = "Common"
    FIXING = "Fixing"
    ODD = "Odd"
    INTRADAY_ODD = "IntradayOdd"


class OCType(TextEnum):
    AUTO = "Auto"
    NEW = "New"
    COVER = "Cover"
    DAY_TRADE = "DayTrade"


class OperationType(TextEnum):
    NEW = "New"
    UPDATE_QTY = "UpdateQty"
    UPDATE_PRICE = "UpdatePrice"
    CANCEL = "Cancel"


class SuccessCode(Enum):
    """Result codes of order reports, each with a broker-style `code` and `message`."""

    CreateOrder = ("00", "委託成功")
    ModifyOrder = ("00", "改單成功")
    OrderBeCancel = ("00", "刪單成功")

    @property
    def code(self):
        return self.value[0]

    @property
    def message(self):
        return self.value[1]


class RejectCode(Enum):
    """Codes of orders the exchange refuses, broker-style like `SuccessCode`."""

    PriceLimit = ("88", "委託價格超出當日漲跌幅限制")

    code = SuccessCode.code
    message = SuccessCode.message


class FLAG(Enum):
    """Values of the `orva_status` key of marker records in the tick stream."""

    exit_send_tick = "exit_send_tick"
    finish_backfilling = "finish_backfilling"


# Value of one price point per futures contract, by contract code; codes not
# listed here are valued at 2000.
FutureIndexContractValue = {
    "TXFR1": 200,  # TAIEX futures
    "TXFR2": 200,
    "MXFR1": 50,  # mini TAIEX futures
    "MXFR2": 50,
    "TMFR1": 10,  # micro TAIEX futures
    "TMFR2": 10,
    "EXFR1": 4000,  # electronics sector futures
    "EXFR2": 4000,
    "FXFR1": 1000,  # finance sector futures
    "FXFR2": 1000,
}

# Tick size of index futures, in index points: they move by it at any price level. Codes not
# listed here (stock futures) move on the stock price bands.
FutureTickSize = {
    "TXFR1": 1, "TXFR2": 1,
    "MXFR1": 1, "MXFR2": 1,
    "TMFR1": 1, "TMFR2": 1,
    "EXFR1": 0.05, "EXFR2": 0.05,
    "FXFR1": 0.2, "FXFR2": 0.2,
}

# Margin per contract that an opening futures order needs when the cash check is on: roughly the
# exchange's original margins of 2024 (brokers ask more; `--margin CODE=AMOUNT` sets yours).
# Codes not listed (stock futures) need the contract's whole value.
FutureMarginPerContract = {
    "TXFR1": 184_000, "TXFR2": 184_000,
    "MXFR1": 46_000, "MXFR2": 46_000,
    "TMFR1": 9_200, "TMFR2": 9_200,
    "EXFR1": 180_000, "EXFR2": 180_000,
    "FXFR1": 86_000, "FXFR2": 86_000,
}


# Written index options hold the exchange's margin: the premium's value + max(A - the
# out-of-the-money value, B), A and B per contract. Roughly TAIFEX's original TXO margins
# beside the futures table above (A is TX's margin at a quarter of its multiplier, B half of A:
# 920 and 460 index points × 50); set yours with the cash check's option margins.
OptionMargin = {
    "TXO": {"A": 46_000, "B": 23_000},
}

# The rate Black-76 discounts with when none is given: about Taiwan's one-year deposit rate.
OptionRiskFreeRate = 0.017


class _BasicInfo:
    """Run-wide settings. `data_dir` is read at each use, so it can be reassigned."""

    def __init__(self):
        self._data_dir = None

    @property
    def data_dir(self):
        if self._data_dir is not None:
            return self._data_dir
        return os.environ.get("ORVA_DATA_DIR") or os.path.join(os.getcwd(), "data")

    @data_dir.setter
    def data_dir(self, path):
        if path is not None and not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"data_dir 必須是路徑文字, 收到 {type(path).__name__}")
        self._data_dir = None if path is None else os.fspath(path)


BASIC_INFO = _BasicInfo()
