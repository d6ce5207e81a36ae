// lumetra.memory.slabkit: native fast paths of the slab and bucket allocator.
//
// Import order: the standard imports, the logger, the three classes, the four
// module functions, the CRC table, and last the banner. Import fails with the
// error of the first step that fails.
#include "capi/capi.hpp"
#include "slab_header.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

bool exec(PyObject* module, State& st) noexcept {
    if (!capi::import_module(module, "threading") || !capi::import_module(module, "logging")) {
        return false;
    }
    capi::Ref logger = capi::Ref::steal(capi::create_logger(module, st));
    if (!logger || !st.names.init() || !add_slab_header_ops(module, st) ||
        !add_bucket_allocator(module, st) || !add_stats_collector(module, st) ||
        !add_functions(module, st)) {
        return false;
    }
    fill_crc16_table_once();
    // The banner is kept as written: callers match it.
    return capi::log(logger.get(), "info",
                     "Lumetra Slabkit Cython module loaded - targeting 1.8-3\xc3\x97 performance "
                     "improvement");
}

}  // namespace

PyModuleDef State::definition = capi::module_def<State, exec>(
    "lumetra.memory.slabkit",
    "Native fast paths of the slab and bucket allocator.\n\n"
    "- FastSlabHeaderOps: one slab's 16-byte header with a CRC-16 checksum and\n"
    "  a 64-bit free-object bitmap.\n"
    "- FastBucketAllocator: size-class free lists of block offsets with\n"
    "  best-fit search, serialised by a threading.Lock.\n"
    "- FastStatsCollector: allocation counters behind a threading.Lock.\n"
    "- fast_align_size, fast_get_bucket_size, fast_can_fit_aligned,\n"
    "  fast_bitmap_operations: the size and bitmap arithmetic on its own.\n");

}  // namespace slabkit

PyMODINIT_FUNC PyInit_slabkit() { return PyModuleDef_Init(&slabkit::State::definition); }
