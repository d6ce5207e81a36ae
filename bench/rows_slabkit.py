"""Rows for lumetra.memory.slabkit."""

from __future__ import annotations

import struct
import threading

from lumetra.memory.slabkit import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    fast_get_bucket_size,
)

from run import Row, stmt


def _crc16_table() -> list[int]:
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC16_TABLE = _crc16_table()
HEADER = struct.Struct("<BBLHQ")
COVERED = struct.Struct("<BBL")


class PySlabHeader:
    """What a Python user writes without the module: struct plus a table CRC."""

    def __init__(self, size_class_index: int, objects_per_slab: int) -> None:
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.epoch = 0
        self.crc = 0
        self.objects_per_slab = objects_per_slab
        self.free_bitmap = (1 << objects_per_slab) - 1 if objects_per_slab < 64 else 2**64 - 1

    def checksum(self) -> int:
        crc = 0xFFFF
        for byte in COVERED.pack(self.size_class_index, self.flags, self.epoch):
            crc = (crc >> 8) ^ CRC16_TABLE[(crc ^ byte) & 0xFF]
        return crc

    def pack_header(self) -> bytes:
        self.crc = self.checksum()
        return HEADER.pack(
            self.size_class_index, self.flags, self.epoch, self.crc, self.free_bitmap
        )

    def unpack_header(self, data: bytes) -> None:
        if len(data) != HEADER.size:
            raise ValueError(f"Invalid header data length: {len(data)}")
        self.size_class_index, self.flags, self.epoch, stored, self.free_bitmap = HEADER.unpack(
            data
        )
        if stored != self.checksum():
            self.flags |= 0x80

    def allocate_object_at(self, index: int) -> None:
        if 0 <= index < 64:
            self.free_bitmap &= ~(1 << index)
        self.flags |= 0x10
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF

    def deallocate_object_at(self, index: int) -> None:
        if 0 <= index < 64:
            self.free_bitmap |= 1 << index
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF
        n = self.objects_per_slab
        if self.free_bitmap == ((1 << n) - 1 if n < 64 else 2**64 - 1):
            self.flags &= ~0x10


class PyBucketAllocator:
    """A dict of lists under a threading.Lock, searched in sorted key order."""

    def __init__(self, step: int = 8, small: int = 256, medium: int = 4096) -> None:
        self.step, self.medium = step, medium
        self.lock = threading.Lock()
        self.lists: dict[int, list[int]] = {s: [] for s in range(step, small + 1, step)}
        self.lists.update({s: [] for s in range(small + step, medium + 1, step)})

    def bucket(self, size: int) -> int:
        if size > self.medium:
            return -1
        return (size + self.step - 1) // self.step * self.step

    def add_to_bucket(self, offset: int, size: int) -> bool:
        bucket = self.bucket(size)
        if bucket <= 0 or bucket != size:
            return False
        with self.lock:
            if bucket not in self.lists:
                return False
            self.lists[bucket].append(offset)
            return True

    def remove_from_bucket(self, size: int) -> int | None:
        bucket = self.bucket(size)
        if bucket <= 0:
            return None
        with self.lock:
            lst = self.lists.get(bucket)
            return lst.pop() if lst else None

    def find_best_fit_bucket(self, size: int, alignment: int) -> int | None:
        bucket = self.bucket(size)
        if bucket <= 0:
            return None
        with self.lock:
            lst = self.lists.get(bucket)
            if lst:
                offset = lst.pop()
                if ((offset + alignment - 1) & ~(alignment - 1)) + size <= offset + bucket:
                    return offset
                lst.append(offset)
            for key in sorted(self.lists):
                if key <= bucket or not self.lists[key]:
                    continue
                offset = self.lists[key].pop()
                if ((offset + alignment - 1) & ~(alignment - 1)) + size <= offset + key:
                    return offset
                self.lists[key].append(offset)
            return None


def py_get_bucket_size(size: int, step: int = 8) -> int:
    return (size + step - 1) // step * step


def _scan_fixture(allocator):
    """One misaligned offset in bucket 24 and one usable offset in bucket 1024:
    the search fails the exact bucket and walks the larger ones."""
    allocator.add_to_bucket(8, 24)
    allocator.add_to_bucket(4096, 1024)
    return allocator


def rows(headline: bool = False) -> list[Row]:
    native, python = FastSlabHeaderOps(3, 8), PySlabHeader(3, 8)
    packed = native.pack_header()
    fast_alloc, py_alloc = FastBucketAllocator(), PyBucketAllocator()
    scan_fast = _scan_fixture(FastBucketAllocator())
    scan_py = _scan_fixture(PyBucketAllocator())
    return [
        Row(
            "FastSlabHeaderOps.pack_header()",
            stmt("h.pack_header()", h=native),
            "struct + table CRC (Python)",
            stmt("h.pack_header()", h=python),
        ),
        Row(
            "FastSlabHeaderOps.unpack_header(data)",
            stmt("h.unpack_header(d)", h=native, d=packed),
            "struct + table CRC (Python)",
            stmt("h.unpack_header(d)", h=python, d=packed),
        ),
        Row(
            "py_allocate_object_at + py_deallocate_...",
            stmt("h.py_allocate_object_at(3); h.py_deallocate_object_at(3)", h=native),
            "Python header class",
            stmt("h.allocate_object_at(3); h.deallocate_object_at(3)", h=python),
            vs_floor=False,
            headline=True,
        ),
        Row(
            "add_to_bucket + remove_from_bucket",
            stmt("a.add_to_bucket(64, 24); a.remove_from_bucket(24)", a=fast_alloc),
            "dict of lists + Lock (Python)",
            stmt("a.add_to_bucket(64, 24); a.remove_from_bucket(24)", a=py_alloc),
            vs_floor=False,
        ),
        Row(
            "find_best_fit_bucket (exact hit) + add",
            stmt("a.add_to_bucket(64, 24); a.find_best_fit_bucket(24, 8)", a=fast_alloc),
            "dict of lists + Lock (Python)",
            stmt("a.add_to_bucket(64, 24); a.find_best_fit_bucket(24, 8)", a=py_alloc),
            vs_floor=False,
        ),
        Row(
            "find_best_fit_bucket (larger-bucket walk)",
            stmt("a.add_to_bucket(a.find_best_fit_bucket(24, 16), 1024)", a=scan_fast),
            "dict of lists + Lock (Python)",
            stmt("a.add_to_bucket(a.find_best_fit_bucket(24, 16), 1024)", a=scan_py),
            vs_floor=False,
        ),
        Row(
            "fast_get_bucket_size(100)",
            stmt("f(100)", f=fast_get_bucket_size),
            "Python function",
            stmt("f(100)", f=py_get_bucket_size),
            headline=True,
        ),
    ]
