"""FastSlabHeaderOps, fast_bitmap_operations and the slabkit module itself."""

from __future__ import annotations

import inspect
import logging
import pickle
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from lumetra.memory import slabkit
from lumetra.memory.slabkit import FastSlabHeaderOps, fast_bitmap_operations

FORMAT = "<BBLHQ"
TOO_LARGE_INT = "value too large to convert to int"
TOO_LARGE_INT32 = "value too large to convert to int32_t"
ALL = 2**64 - 1


def crc16_modbus(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def fields(ops):
    """(size_class_index, flags, epoch, crc, free_bitmap) of a header."""
    return struct.unpack(FORMAT, ops.pack_header())


def expected_bytes(size_class, flags, epoch, bitmap):
    crc = crc16_modbus(struct.pack("<BBL", size_class, flags, epoch))
    return struct.pack(FORMAT, size_class, flags, epoch, crc, bitmap)


@pytest.fixture
def warnings_log(caplog):
    caplog.set_level(logging.WARNING, logger="lumetra.memory.slabkit")
    return caplog


# --- header state -------------------------------------------------------------------


def test_crc_model_check_value():
    assert crc16_modbus(b"123456789") == 0x4B37


@pytest.mark.parametrize(
    ("size_class", "objects", "size_field", "bitmap"),
    [
        (3, 64, 3, ALL),
        (3, 100, 3, ALL),
        (3, 8, 3, 0xFF),
        (300, 8, 44, 0xFF),
        (-1, 1, 255, 1),
        (3, 63, 3, 2**63 - 1),
        (3, 0, 3, 0),
        (3, -5, 3, 0),  # a negative count is an empty slab
    ],
)
def test_initial_header(size_class, objects, size_field, bitmap):
    ops = FastSlabHeaderOps(size_class, objects)
    assert ops.pack_header() == expected_bytes(size_field, 0, 0, bitmap)


def test_fresh_header_exact_bytes():
    packed = FastSlabHeaderOps(3, 8).pack_header()
    assert packed == bytes.fromhex("03 00 00000000 0028 ff00000000000000")


def test_allocate_and_release_sequence():
    ops = FastSlabHeaderOps(3, 8)
    ops.py_allocate_object_at(0)
    assert ops.py_is_object_free(0) is False
    assert ops.py_find_free_object() == 1
    assert fields(ops)[1] == 0x10
    assert ops.py_deallocate_object_at(0) is None  # type: ignore[func-returns-value]
    assert fields(ops)[1:3] == (0, 2)
    assert fields(ops)[4] == 0xFF
    for i in range(8):
        ops.py_allocate_object_at(i)
    assert ops.py_find_free_object() == -1


@pytest.mark.parametrize("index", [64, 70, 2**31 - 1, -1, -64, -(2**31)])
def test_indices_outside_the_bitmap_address_no_bit(index):
    ops = FastSlabHeaderOps(3, 8)
    assert ops.py_is_object_free(index) is False
    ops.py_allocate_object_at(index)
    assert fields(ops)[1:3] == (0x10, 1)
    assert fields(ops)[4] == 0xFF
    ops.py_deallocate_object_at(index)
    assert fields(ops)[1:3] == (0, 2)  # all free again, so the in-use bit clears
    assert fields(ops)[4] == 0xFF


def test_epoch_wraps_and_extra_bits_count():
    ops = FastSlabHeaderOps(1, 4)
    ops.unpack_header(expected_bytes(1, 0, 2**32 - 1, 0xF))
    ops.py_deallocate_object_at(10)  # above objects_per_slab: still set and found
    assert fields(ops)[2] == 0
    assert fields(ops)[4] == 0x40F
    for i in range(4):
        ops.py_allocate_object_at(i)
    assert ops.py_find_free_object() == 10


@given(
    st.integers(0, 255),
    st.integers(-2, 70),
    st.lists(st.tuples(st.booleans(), st.integers(-3, 70)), max_size=40),
)
def test_operations_match_model(size_class, objects, steps):
    ops = FastSlabHeaderOps(size_class, objects)
    full = 0 if objects <= 0 else ALL if objects >= 64 else (1 << objects) - 1
    bitmap, flags, epoch = full, 0, 0
    for allocate, index in steps:
        bit = 1 << index if 0 <= index < 64 else 0
        if allocate:
            ops.py_allocate_object_at(index)
            bitmap &= ~bit
            flags |= 0x10
        else:
            ops.py_deallocate_object_at(object_index=index)
            bitmap |= bit
            if bitmap == full:
                flags &= ~0x10
        epoch = (epoch + 1) % 2**32
        assert ops.py_is_object_free(index) == bool(bitmap & bit)
    lowest = (bitmap & -bitmap).bit_length() - 1
    assert ops.py_find_free_object() == lowest
    assert ops.pack_header() == expected_bytes(size_class, flags, epoch, bitmap)


# --- packing and unpacking ----------------------------------------------------------


@given(st.integers(0, 255), st.integers(0, 255), st.integers(0, 2**32 - 1), st.integers(0, ALL))
def test_round_trip(size_class, flags, epoch, bitmap):
    data = expected_bytes(size_class, flags, epoch, bitmap)
    ops = FastSlabHeaderOps(0, 0)
    assert ops.unpack_header(data) is None  # type: ignore[func-returns-value]
    assert ops.pack_header() == data


def test_round_trip_logs_nothing(warnings_log):
    source = FastSlabHeaderOps(7, 30)
    source.py_allocate_object_at(4)
    target = FastSlabHeaderOps(0, 1)
    target.unpack_header(source.pack_header())
    assert target.pack_header() == source.pack_header()
    assert warnings_log.records == []


@pytest.mark.parametrize("position", range(16))
def test_corruption_of_each_byte(position, warnings_log):
    good = expected_bytes(3, 0x10, 0x01020304, 0xF0)
    data = bytearray(good)
    data[position] ^= 0x01
    ops = FastSlabHeaderOps(0, 0)
    ops.unpack_header(bytes(data))
    size_class, flags, epoch, _, bitmap = struct.unpack(FORMAT, bytes(data))
    if position >= 8:  # the bitmap is not covered by the checksum
        assert warnings_log.records == []
        assert ops.pack_header() == bytes(data)
        return
    stored = struct.unpack_from("<H", data, 6)[0]
    computed = crc16_modbus(bytes(data[:6]))
    [record] = warnings_log.records
    assert record.levelno == logging.WARNING
    assert record.name == "lumetra.memory.slabkit"
    assert record.getMessage() == (
        f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"
    )
    # The loaded values are kept, marked with 0x80; packing recomputes the crc.
    assert ops.pack_header() == expected_bytes(size_class, flags | 0x80, epoch, bitmap)


@pytest.mark.parametrize("data", [b"", b"\x00" * 15, b"\x00" * 17])
def test_wrong_length_leaves_header_untouched(data):
    ops = FastSlabHeaderOps(3, 8)
    ops.py_allocate_object_at(2)
    before = ops.pack_header()
    with pytest.raises(ValueError, match=str(len(data))):
        ops.unpack_header(data)
    assert ops.pack_header() == before


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (None, "object of type 'NoneType' has no len()"),
        (bytearray(16), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        ("x" * 16, "Argument 'data' has incorrect type (expected bytes, got str)"),
    ],
)
def test_unpack_rejects_non_bytes(data, message):
    with pytest.raises(TypeError) as info:
        FastSlabHeaderOps(3, 8).unpack_header(data)
    assert str(info.value) == message


# --- bitmap function ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("bitmap", "index", "operation", "result"),
    [
        (0, 5, "set", 32),
        (32, 5, "is_set", True),
        (32, 4, "is_set", False),
        (0, 0, "find_first", -1),
        (8, 0, "find_first", 3),
        (2**63, 0, "find_first", 63),
        (ALL, 63, "clear", 2**63 - 1),
        (0, 63, "set", 2**63),
        (1, 64, "is_set", False),
        (1, 64, "set", 1),
        (ALL, 64, "clear", ALL),
        (ALL, -1, "is_set", False),
        (0, -1, "set", 0),
        (ALL, -(2**31), "clear", ALL),
    ],
)
def test_bitmap_operations(bitmap, index, operation, result):
    assert fast_bitmap_operations(bitmap, index, operation) == result
    assert type(fast_bitmap_operations(bitmap, index, operation)) is type(result)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((0, 5, "xor"), ValueError, "Unknown operation: xor"),
        ((0, 5, None), ValueError, "Unknown operation: None"),
        ((0, 5, ""), ValueError, "Unknown operation: "),
        (
            (0, 5, b"set"),
            TypeError,
            "Argument 'operation' has incorrect type (expected str, got bytes)",
        ),
        ((-1, 5, "set"), OverflowError, "can't convert negative value to uint64_t"),
        ((2**64, 5, "set"), OverflowError, None),
        ((0, 2**31, "set"), OverflowError, TOO_LARGE_INT),
        ((0, "5", "set"), TypeError, "an integer is required"),
    ],
)
def test_bitmap_operation_errors(args, error, message):
    with pytest.raises(error) as info:
        fast_bitmap_operations(*args)
    if message is not None:
        assert str(info.value) == message


# --- argument conversion and the type -----------------------------------------------


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: FastSlabHeaderOps(2**31, 8), OverflowError, TOO_LARGE_INT32),
        (lambda: FastSlabHeaderOps(3, -(2**31) - 1), OverflowError, TOO_LARGE_INT32),
        (lambda: FastSlabHeaderOps(3, None), TypeError, "an integer is required"),  # type: ignore[arg-type]
        (lambda: FastSlabHeaderOps(3, 8).py_is_object_free(2**31), OverflowError, TOO_LARGE_INT),
        (
            lambda: FastSlabHeaderOps(3, 8).py_allocate_object_at("1"),  # type: ignore[arg-type]
            TypeError,
            "an integer is required",
        ),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_conversions_and_keywords():
    ops = FastSlabHeaderOps(size_class_index=3.9, objects_per_slab=True)  # type: ignore[arg-type]
    assert fields(ops)[0] == 3
    assert ops.py_is_object_free(object_index=0.5) is True  # type: ignore[arg-type]


def test_type_surface():
    ops = FastSlabHeaderOps(3, 8)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(ops)
    assert not hasattr(ops, "__dict__")
    assert str(inspect.signature(FastSlabHeaderOps)) == "(size_class_index, objects_per_slab)"
    assert str(inspect.signature(ops.unpack_header)) == "(data)"

    class Slab(FastSlabHeaderOps):
        pass

    assert Slab(1, 2).py_find_free_object() == 0


# --- the module ---------------------------------------------------------------------


def test_banner_logged_once_at_import(fresh_python):
    assert slabkit.logger is logging.getLogger("lumetra.memory.slabkit")
    result = fresh_python(
        """
        import logging
        logging.basicConfig(level=logging.INFO, format="%(levelname)s|%(name)s|%(message)s")
        import lumetra.memory.slabkit
        import importlib; importlib.import_module("lumetra.memory.slabkit")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "INFO|lumetra.memory.slabkit|"
        "Lumetra Slabkit Cython module loaded - targeting 1.8-3\u00d7 performance improvement"
    ]
