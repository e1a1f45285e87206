import pytest

from orva_backtest import constant
from orva_backtest.constant import (
    BASIC_INFO, FLAG, Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType,
    SuccessCode,
)

TEXT_ENUMS = [Action, PriceType, OrderType, OrderCond, OrderLot, OCType, OperationType]


@pytest.mark.parametrize("enum", TEXT_ENUMS)
def test_members_stand_in_for_their_text(enum):
    values = [m.value for m in enum]
    assert len(set(values)) == len(values)
    for member in enum:
        text = member.value
        assert member == text and isinstance(member, str)
        assert {text: 1}[member] == 1 and {member: 1}[text] == 1
        assert member.lower() == text.lower()
        assert str(member) == text and f"{member}" == text
        assert enum.from_value(text) is member
        assert enum.from_value(member) is member


@pytest.mark.parametrize("bad", ["buy", "BUY", "", None, 1, Action])
def test_from_value_refuses_anything_else(bad):
    with pytest.raises(ValueError):
        Action.from_value(bad)


def test_named_members_exist():
    assert (Action.BUY, Action.SELL) == ("Buy", "Sell")
    assert Action.BUY.lower() == "buy" and Action.SELL.lower() == "sell"
    assert PriceType.LMT and OrderType.ROD and OrderType.IOC and OrderType.FOK
    assert OrderCond.CASH and OrderLot.COMMON and OCType.AUTO
    assert OperationType.NEW == "New"
    for member in (SuccessCode.CreateOrder, SuccessCode.ModifyOrder, SuccessCode.OrderBeCancel):
        assert isinstance(member.code, str) and isinstance(member.message, str)
    assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value


def test_contract_values_are_numbers():
    assert constant.FutureIndexContractValue
    assert all(isinstance(v, (int, float)) and v > 0
               for v in constant.FutureIndexContractValue.values())


def test_data_dir_follows_environment_until_assigned(monkeypatch, tmp_path):
    monkeypatch.setattr(BASIC_INFO, "_data_dir", None)
    monkeypatch.setenv("ORVA_DATA_DIR", str(tmp_path / "env"))
    assert BASIC_INFO.data_dir == str(tmp_path / "env")
    monkeypatch.delenv("ORVA_DATA_DIR")
    monkeypatch.chdir(tmp_path)
    assert BASIC_INFO.data_dir == str(tmp_path / "data")
    BASIC_INFO.data_dir = tmp_path / "set"
    assert BASIC_INFO.data_dir == str(tmp_path / "set")
    with pytest.raises(TypeError, match="data_dir"):
        BASIC_INFO.data_dir = 5
