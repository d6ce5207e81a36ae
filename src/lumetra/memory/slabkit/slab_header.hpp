// Slab header record, its CRC-16 and the 64-bit free-object bitmap: the native
// core of FastSlabHeaderOps and fast_bitmap_operations.
//
// Byte format of a packed header (little-endian, no padding, 16 bytes):
//   offset 0  u8   size_class_index
//   offset 1  u8   flags            (0x10 in use since last all-free, 0x80 crc mismatch)
//   offset 2  u32  epoch            (bumped, modulo 2**32, by every allocate/release)
//   offset 6  u16  crc              (CRC-16/MODBUS of bytes 0..5 only)
//   offset 8  u64  free_bitmap      (bit i set = object i is free)
//
// Bit indices outside 0..63, negative ones included, address no bit: a test is
// false and a set or clear leaves the bitmap as it was. No shift is ever made
// by a negative amount or by 64 or more.
//
// `crc16_table` is filled once per process by `_init_crc16_table()`, during
// the module's first import in any interpreter, and only read afterwards. A
// FastSlabHeaderOps has no lock: its caller drives one slab from one thread
// at a time. Nothing here touches the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace slabkit {

inline constexpr uint8_t flag_in_use = 0x10;
inline constexpr uint8_t flag_corrupt = 0x80;
inline constexpr std::size_t packed_header_size = 16;
inline constexpr std::size_t crc_covered_bytes = 6;

// --- CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final xor.

inline std::array<uint16_t, 256> crc16_table{};

inline void _init_crc16_table() noexcept {
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
        }
        crc16_table[i] = crc;
    }
}

// The import's step "fill the table": the first call in the process fills
// it, later ones (imports in further interpreters, re-imports) return at once.
// Interpreters with their own GIL may import the module at the same time; the
// guard lets exactly one of them fill the table and holds the others until it
// is complete, so the table is never written while another interpreter reads.
inline void fill_crc16_table_once() noexcept {
    static const bool filled = (_init_crc16_table(), true);
    (void)filled;
}

inline uint16_t fast_crc16(const uint8_t* data, std::size_t length) noexcept {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ crc16_table[(crc ^ data[i]) & 0xFF]);
    }
    return crc;
}

// --- 64-bit bitmap helpers.

inline bool bit_addressable(int32_t index) noexcept { return index >= 0 && index < 64; }

inline bool bitmap_is_set(uint64_t bitmap, int32_t index) noexcept {
    return bit_addressable(index) && ((bitmap >> index) & 1U) != 0;
}

inline uint64_t bitmap_set(uint64_t bitmap, int32_t index) noexcept {
    return bit_addressable(index) ? bitmap | (uint64_t{1} << index) : bitmap;
}

inline uint64_t bitmap_clear(uint64_t bitmap, int32_t index) noexcept {
    return bit_addressable(index) ? bitmap & ~(uint64_t{1} << index) : bitmap;
}

inline int32_t bitmap_find_first_set(uint64_t bitmap) noexcept {
    return bitmap == 0 ? -1 : static_cast<int32_t>(__builtin_ctzll(bitmap));
}

// Mask of a slab whose objects are all free: the low `objects_per_slab` bits,
// all 64 from 64 objects up, none for a count of 0 or below.
inline uint64_t all_free_mask(int32_t objects_per_slab) noexcept {
    if (objects_per_slab <= 0) return 0;
    if (objects_per_slab >= 64) return ~uint64_t{0};
    return (uint64_t{1} << objects_per_slab) - 1;
}

// --- The record and its byte format.

struct FastSlabHeader {
    uint8_t size_class_index = 0;
    uint8_t flags = 0;
    uint32_t epoch = 0;
    uint16_t crc = 0;
    uint64_t free_bitmap = 0;
};

namespace detail {

inline void put_le(uint8_t* out, uint64_t value, std::size_t bytes) noexcept {
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t get_le(const uint8_t* in, std::size_t bytes) noexcept {
    uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

}  // namespace detail

// The six bytes the checksum covers: size class, flags, epoch (little-endian).
inline uint16_t header_checksum(const FastSlabHeader& h) noexcept {
    uint8_t bytes[crc_covered_bytes];
    bytes[0] = h.size_class_index;
    bytes[1] = h.flags;
    detail::put_le(bytes + 2, h.epoch, 4);
    return fast_crc16(bytes, crc_covered_bytes);
}

inline void pack(const FastSlabHeader& h, uint8_t* out) noexcept {
    out[0] = h.size_class_index;
    out[1] = h.flags;
    detail::put_le(out + 2, h.epoch, 4);
    detail::put_le(out + 6, h.crc, 2);
    detail::put_le(out + 8, h.free_bitmap, 8);
}

// The five fields of a packed header, the stored crc kept apart.
struct UnpackedHeader {
    uint8_t size_class_index;
    uint8_t flags;
    uint32_t epoch;
    uint16_t stored_crc;
    uint64_t bitmap;
};

inline UnpackedHeader unpack(const uint8_t* in) noexcept {
    return {in[0], in[1], static_cast<uint32_t>(detail::get_le(in + 2, 4)),
            static_cast<uint16_t>(detail::get_le(in + 6, 2)), detail::get_le(in + 8, 8)};
}

// --- One slab: its header and the number of objects it holds.

class FastSlabHeaderOps {
public:
    FastSlabHeaderOps(int32_t size_class_index, int32_t objects_per_slab) noexcept
        : objects_per_slab(objects_per_slab) {
        header.size_class_index = static_cast<uint8_t>(size_class_index & 0xFF);
        header.free_bitmap = all_free_mask(objects_per_slab);
    }

    bool is_object_free(int32_t object_index) const noexcept {
        return bitmap_is_set(header.free_bitmap, object_index);
    }

    // The flag and the epoch move even when the index addresses no bit or the
    // object was already taken; the index is not checked against the slab size.
    void allocate_object(int32_t object_index) noexcept {
        header.free_bitmap = bitmap_clear(header.free_bitmap, object_index);
        header.flags |= flag_in_use;
        ++header.epoch;
    }

    void deallocate_object(int32_t object_index) noexcept {
        header.free_bitmap = bitmap_set(header.free_bitmap, object_index);
        ++header.epoch;
        if (header.free_bitmap == all_free_mask(objects_per_slab)) {
            header.flags = static_cast<uint8_t>(header.flags & ~flag_in_use);
        }
    }

    int32_t find_free_object() const noexcept { return bitmap_find_first_set(header.free_bitmap); }

    uint16_t compute_checksum() const noexcept { return header_checksum(header); }

    // Refreshes the crc and writes the 16-byte form.
    void pack_header(uint8_t* out) noexcept {
        header.crc = compute_checksum();
        pack(header, out);
    }

    // Loads a packed header; the crc field itself is left alone (packing
    // recomputes it). Returns false when the stored checksum does not match,
    // after marking the header with flag_corrupt.
    bool unpack_header(const uint8_t* in, uint16_t& stored_crc, uint16_t& computed_crc) noexcept {
        const UnpackedHeader u = unpack(in);
        header.size_class_index = u.size_class_index;
        header.flags = u.flags;
        header.epoch = u.epoch;
        header.free_bitmap = u.bitmap;
        stored_crc = u.stored_crc;
        computed_crc = compute_checksum();
        if (stored_crc == computed_crc) return true;
        header.flags |= flag_corrupt;
        return false;
    }

    FastSlabHeader header;
    int32_t objects_per_slab;
};

}  // namespace slabkit
