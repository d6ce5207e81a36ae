// Binding of FastRedBlackTree: construction, garbage collection, the writers
// (insert, delete, remove_ge, clear), the lock-free readers (find_best_fit,
// find_all_exact) and the small accessors.
//
// Writers follow one shape: convert and check the size, take write_lock, make
// seq_counter odd, change the tree inside a critical section without calling
// into Python, wait for the readers that may hold what the change removed
// (tree.synchronize()), make seq_counter even, release the lock, and only
// then drop the references of removed blocks and build result objects
// (either can run arbitrary Python code). Readers never take a lock: they
// retry while seq_counter is odd and accept a result only if seq_counter did
// not move while they looked, and they take their references to the blocks
// they found before they leave the tree's reader gate; blockindex.hpp and
// rbtree.hpp give the argument.
#include <atomic>
#include <new>
#include <utility>

#include "blockindex.hpp"

namespace blockindex {

namespace {

using Self = TreeObject;

constexpr int MAX_RETRIES = 100;

// Makes seq_counter odd for the lifetime of the guard: declared right after
// the write lock is taken, it ends before the lock is released, on every path.
// Each writer moves the counter on by two. A writer nested in another's
// section (re-entering through a lock that lets its holder in again) adds both
// at its start, so that the counter stays odd until the outermost one ends:
// readers never see an even value while any change can still come.
class SeqWrite {
public:
    explicit SeqWrite(FastRedBlackTree& t) noexcept : t_(t) {
        const uint64_t seq = t_.seq_counter.load(std::memory_order_relaxed);
        t_.seq_counter.store(seq + (t_.writers++ == 0 ? 1 : 2), std::memory_order_relaxed);
        // The tree's stores below cannot be seen before the odd value: a
        // reader that loads any of them (then its acquire fence) sees the
        // counter moved when it checks.
        thread_fence<std::memory_order_release>();
    }
    SeqWrite(const SeqWrite&) = delete;
    SeqWrite& operator=(const SeqWrite&) = delete;
    ~SeqWrite() {
        if (--t_.writers != 0) return;
        // Release: a reader that acquires the even value sees every change.
        t_.seq_counter.store(t_.seq_counter.load(std::memory_order_relaxed) + 1,
                             std::memory_order_release);
    }

private:
    FastRedBlackTree& t_;
};

// The object whose critical section guards structural changes and the looks
// at the tree that must see it whole; see blockindex.hpp.
PyObject* owner(Self* self) noexcept { return reinterpret_cast<PyObject*>(self); }

// time.perf_counter_ns() through the module global `time`. While neither the
// global nor the function has been replaced, the clock is read directly: the
// same clock and unit, without an int object made and converted back.
bool perf_counter_ns(const State& st, uint64_t& out) noexcept {
    capi::Ref time_module = capi::global<"time">(st);
    if (!time_module) return false;
    PyObject* time = time_module.get();
    PyObject* name = st.names.get<"perf_counter_ns">();
    if (time == st.std_time_module &&
        PyDict_GetItemWithError(PyModule_GetDict(time), name) == st.std_perf_counter_ns) {
        out = static_cast<uint64_t>(capi::internals::perf_counter_ns());
        return true;
    }
    if (PyErr_Occurred()) return false;
    capi::Ref now = capi::Ref::steal(capi::call_method<"perf_counter_ns">(st, time));
    return now && capi::to_uint64(now.get(), out);
}

// time.sleep(0.0001) through the module global `time`.
bool backoff(const State& st) noexcept {
    capi::Ref time = capi::global<"time">(st);
    if (!time) return false;
    capi::Ref result =
        capi::Ref::steal(capi::call_method<"sleep">(st, time.get(), st.backoff_seconds));
    return static_cast<bool>(result);
}

// Outcome of `self._sanitize_size(size)` converted to unsigned 64-bit.
enum class Sanitized { ok, invalid, error };

// `size` is the already validated int argument. `invalid` means the
// ValueError of a negative size, which readers and removers turn into their
// neutral result; with `raise_invalid` it is raised instead (insert).
Sanitized sanitize(const State& st, Self* self, PyObject* size, uint64_t& out,
                   bool raise_invalid) noexcept {
    capi::Ref checked;
    if (Py_IS_TYPE(self, st.FastRedBlackTreeType)) {
        // The type is immutable and its instances have no dictionary, so the
        // lookup of `_sanitize_size` always finds the native one.
        if (capi::internals::long_sign(size) < 0) {
            if (!raise_invalid) return Sanitized::invalid;
            PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
            return Sanitized::error;
        }
        checked = capi::Ref::borrow(size);
    } else {
        checked = capi::Ref::steal(
            capi::call_method<"_sanitize_size">(st, reinterpret_cast<PyObject*>(self), size));
        if (!checked) {
            if (raise_invalid || !PyErr_ExceptionMatches(PyExc_ValueError)) {
                return Sanitized::error;
            }
            PyErr_Clear();
            return Sanitized::invalid;
        }
    }
    return capi::to_uint64(checked.get(), out) ? Sanitized::ok : Sanitized::error;
}

// The readers' side of seq_counter. next() starts an attempt: it waits,
// backing off, while a writer is inside its section; the reader then looks at
// the tree (tree.read_view()) and keeps what it saw only if unchanged() still
// holds. From next() returning true until leave() (or the next attempt, or the
// end of the guard) the reader is registered with the tree's reader gate:
// nothing it can reach is freed meanwhile, so it takes its references to the
// blocks it found before it leaves. It calls no Python code and allocates
// nothing while registered (a writer may be waiting for it), which is why the
// back-off comes after leaving. Every attempt counts towards MAX_RETRIES,
// those that found the counter odd too. next() is false once they are used
// up, or when the back-off raised (failed(), with the error set).
class SeqRead {
public:
    SeqRead(const State& st, FastRedBlackTree& t) noexcept : st_(st), t_(t) {}
    SeqRead(const SeqRead&) = delete;
    SeqRead& operator=(const SeqRead&) = delete;
    ~SeqRead() { leave(); }

    bool next() noexcept {
        leave();
        while (++attempts_ <= MAX_RETRIES) {
            slot_ = t_.tree.enter_reader();
            inside_ = true;
            // seq_cst after the gate's seq_cst increment: see ReaderGate.
            start_ = t_.seq_counter.load(std::memory_order_seq_cst);
            if (!(start_ & 1)) return true;
            leave();
            if (!backoff(st_)) {
                failed_ = true;
                return false;
            }
        }
        return false;
    }

    // The fence keeps the attempt's loads before the counter's second load:
    // if any of them saw a writer's store, that load sees the counter moved.
    bool unchanged() const noexcept {
        thread_fence<std::memory_order_acquire>();
        return t_.seq_counter.load(std::memory_order_relaxed) == start_;
    }
    void leave() noexcept {
        if (!inside_) return;
        inside_ = false;
        t_.tree.leave_reader(slot_);
    }
    bool failed() const noexcept { return failed_; }

private:
    const State& st_;
    FastRedBlackTree& t_;
    uint64_t start_ = 0;  // seq_counter when the current attempt began
    int attempts_ = 0;
    unsigned slot_ = 0;  // the reader gate's count this attempt registered in
    bool inside_ = false;
    bool failed_ = false;
};

// Room for the blocks find_all_exact collects in one attempt, on the stack
// for short chains. It grows only between attempts (outside the reader gate).
class BlockBuffer {
public:
    BlockBuffer() noexcept = default;
    BlockBuffer(const BlockBuffer&) = delete;
    BlockBuffer& operator=(const BlockBuffer&) = delete;
    ~BlockBuffer() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    size_t capacity() const noexcept { return capacity_; }
    PyObject*& operator[](size_t i) noexcept { return data_[i]; }
    // Room for at least `count` blocks; false with MemoryError set.
    bool reserve(size_t count) noexcept {
        if (count <= capacity_) return true;
        const size_t wanted = count + count / 2;
        // PyMem_New's overflow check: a chain never comes near it.
        auto* data = PyMem_New(PyObject*, wanted);
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (data_ != inline_) PyMem_Free(data_);
        data_ = data;
        capacity_ = wanted;
        return true;
    }

private:
    static constexpr size_t inline_count = 32;
    PyObject* inline_[inline_count];
    PyObject** data_ = inline_;
    size_t capacity_ = inline_count;
};

// `count % sample_rate == 0` with Python semantics for whatever increment()
// returned. For an int in the 64-bit range the remainder is zero exactly when
// the C remainder is.
bool is_sampled(const State& st, PyObject* count, uint32_t sample_rate, bool& sample) noexcept {
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) return false;
            sample = value % static_cast<long long>(sample_rate) == 0;
            return true;
        }
    }
    capi::Ref rate = capi::Ref::steal(PyLong_FromUnsignedLong(sample_rate));
    if (!rate) return false;
    capi::Ref rest = capi::Ref::steal(PyNumber_Remainder(count, rate.get()));
    if (!rest) return false;
    capi::Ref equal = capi::Ref::steal(PyObject_RichCompare(rest.get(), st.int_zero, Py_EQ));
    if (!equal) return false;
    const int truth = capi::to_truth(equal.get());
    if (truth < 0) return false;
    sample = truth != 0;
    return true;
}

// The operation counter's increment() and the sampling decision, made before
// the write lock is taken.
bool count_operation(const State& st, Self* self, bool& sample) noexcept {
    FastRedBlackTree& t = self->t;
    // A strong reference, taken under the critical section clear() swaps the
    // counters in: clear() may replace the counter (and drop the old one)
    // while the call runs.
    capi::Ref counter = capi::read_shared(owner(self), t.operation_counter);
    capi::Ref count = capi::Ref::steal(capi::call_method<"increment">(st, counter.get()));
    if (!count) return false;
    if (t.sample_rate == 0) return true;
    return is_sampled(st, count.get(), t.sample_rate, sample);
}

// AtomicCounter(0), with the class found in the module global.
capi::Ref new_counter(const State& st, PyObject* counter_class) noexcept {
    return capi::Ref::steal(PyObject_CallOneArg(counter_class, st.int_zero));
}

// `stored == block` decided by the blocks' own equality.
int blocks_equal(PyObject* stored, PyObject* block) noexcept {
    // Held across the comparison, which runs Python code.
    capi::Ref held = capi::Ref::borrow(stored);
    capi::Ref result = capi::Ref::steal(PyObject_RichCompare(held.get(), block, Py_EQ));
    if (!result) return -1;
    return capi::to_truth(result.get());
}

// --- construction, collection, destruction -----------------------------------

constexpr capi::TypedSignature new_sig("FastRedBlackTree", capi::Arg<uint32_t>{"sample_rate", 100});

PyObject* tree_new(State& st, PyTypeObject* type, uint32_t sample_rate) noexcept {
    // Everything that can run Python code happens before the object exists,
    // in the order the fields are listed.
    capi::Ref write_lock = capi::Ref::steal(capi::new_threading_lock(st));
    if (!write_lock) return nullptr;
    capi::Ref operation_counter, sampled_counter;
    int using_atomic = 0;
    capi::Ref available = capi::global<"ATOMIC_AVAILABLE">(st);
    if (!available) return nullptr;
    int truth = capi::to_truth(available.get());
    if (truth < 0) return nullptr;
    if (truth) {
        capi::Ref counter_class = capi::global<"AtomicCounter">(st);
        if (!counter_class) return nullptr;
        truth = capi::to_truth(counter_class.get());
        if (truth < 0) return nullptr;
        if (truth) {
            operation_counter = new_counter(st, counter_class.get());
            if (!operation_counter) return nullptr;
            sampled_counter = new_counter(st, counter_class.get());
            if (!sampled_counter) return nullptr;
            using_atomic = 1;
        }
    }
    capi::Ref stats_lock = capi::Ref::steal(capi::new_threading_lock(st));
    if (!stats_lock) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Self*>(self)->state = &st;
    FastRedBlackTree* t = new (&reinterpret_cast<Self*>(self)->t) FastRedBlackTree();
    t->write_lock = std::move(write_lock);
    t->sample_rate = sample_rate;
    t->operation_counter = std::move(operation_counter);
    t->sampled_counter = std::move(sampled_counter);
    t->using_atomic = using_atomic;
    t->stats_lock = std::move(stats_lock);
    return self;
}

}  // namespace

int TreeObject::visit_native(visitproc visit, void* arg) noexcept {
    auto visit_block = [visit, arg](void* block) -> int {
        Py_VISIT(static_cast<PyObject*>(block));
        return 0;
    };
    return t.tree.visit_entries(visit_block);
}

// Breaks reference cycles through stored blocks: the tree is emptied first,
// then the blocks are released (their destructors see an empty tree and must
// not clobber an exception in flight).
void TreeObject::clear_native() noexcept {
    Tree detached = detach_entries();
    capi::SavedError saved;
    t._recursive_free(std::move(detached));
}

// Out of line: clear_native's frame stays on the stack while the blocks it
// releases free further trees (a chain of trees, each a block of the next, is
// freed one nested deallocation per tree up to the interpreter's trashcan
// depth), so it holds nothing but the detached tree.
Tree TreeObject::detach_entries() noexcept {
    SeqWrite write(t);
    capi::CriticalSection cs(reinterpret_cast<PyObject*>(this));
    Tree detached = t.tree.detach();
    t.stats.total_blocks.store(0, std::memory_order_relaxed);
    t.tree.synchronize();
    return detached;
}

namespace {

// --- writers -------------------------------------------------------------------

constexpr capi::TypedSignature insert_sig("insert", capi::Arg<capi::PyInt>{"size"},
                                          capi::Arg<PyObject*>{"block"});

PyObject* insert(Self* self, capi::IntValue& size, PyObject* block) noexcept {
    const State& st = *self->state;
    uint64_t c_size;
    if (sanitize(st, self, size.object(), c_size, true) != Sanitized::ok) return nullptr;
    FastRedBlackTree& t = self->t;
    bool sample = false;
    if (t.using_atomic && !count_operation(st, self, sample)) return nullptr;

    capi::LockGuard guard;
    if (!guard.acquire(t.write_lock.get())) return nullptr;
    SeqWrite write(t);
    // The Python code (the clock, the sample count) runs before a slot is
    // taken: a writer re-entering through it (possible only through a lock
    // that allows it) may move or free every slot. Room is made before the
    // sample is counted, so that a failed allocation changes no counter, and
    // a failing count abandons the insertion with the tree as it was.
    uint64_t now;
    if (!perf_counter_ns(st, now) || !t._reserve_node(owner(self))) return nullptr;
    if (sample && t.using_atomic && !t._record_sample(st)) return nullptr;
    const NodeId node = t._allocate_node(owner(self), c_size, block, now);
    if (node == NO_NODE) return nullptr;
    capi::CriticalSection cs(owner(self));
    t.tree.link(node);
    Stats::add(t.stats.total_blocks, 1);
    Stats::add(t.stats.total_insertions, 1);
    Stats::add(t.stats.operation_count, 1);
    Py_RETURN_TRUE;
}

constexpr capi::TypedSignature delete_sig("delete", insert_sig);

PyObject* delete_block(Self* self, capi::IntValue& size, PyObject* block) noexcept {
    const State& st = *self->state;
    uint64_t c_size;
    // A negative size (ValueError from _sanitize_size) gives the neutral result.
    if (const Sanitized s = sanitize(st, self, size.object(), c_size, false); s != Sanitized::ok) {
        return s == Sanitized::invalid ? Py_NewRef(Py_False) : nullptr;
    }
    FastRedBlackTree& t = self->t;
    capi::Ref removed;  // declared first: dropped after the lock is released
    {
        capi::LockGuard guard;
        if (!guard.acquire(t.write_lock.get())) return nullptr;
        SeqWrite write(t);
        bool restart = true;
        while (restart) {
            restart = false;
            const NodeId node = t.tree.find_node(c_size);
            NodeId prev = NO_NODE;
            for (NodeId entry = node; entry != NO_NODE;
                 prev = entry, entry = t.tree.next_same_size(entry)) {
                const uint64_t seq = t.seq_counter.load(std::memory_order_relaxed);
                const int equal =
                    blocks_equal(static_cast<PyObject*>(t.tree.block_of(entry)), block);
                if (equal < 0) return nullptr;
                // Only a writer re-entering through a lock that allows it (a
                // replaced `threading.Lock`) can move the counter here; the
                // links held may be stale then, so search again.
                if (t.seq_counter.load(std::memory_order_relaxed) != seq) {
                    restart = true;
                    break;
                }
                if (!equal) continue;
                capi::CriticalSection cs(owner(self));
                const NodeId record =
                    prev == NO_NODE ? t.tree.remove_head(node) : t.tree.remove_after(prev);
                removed = capi::Ref::steal(static_cast<PyObject*>(t.tree.release(record)));
                Stats::add(t.stats.total_blocks, -1);
                Stats::add(t.stats.total_deletions, 1);
                // A reader may have loaded the block before the unlink.
                t.tree.synchronize();
                break;
            }
        }
    }
    return capi::new_bool(static_cast<bool>(removed));
}

constexpr capi::TypedSignature remove_ge_sig("remove_ge", capi::Arg<capi::PyInt>{"size"});

PyObject* remove_ge(Self* self, capi::IntValue& size) noexcept {
    const State& st = *self->state;
    uint64_t c_size;
    // A negative size (ValueError from _sanitize_size) gives the neutral result.
    if (const Sanitized s = sanitize(st, self, size.object(), c_size, false); s != Sanitized::ok) {
        return s == Sanitized::invalid ? Py_NewRef(st.none_pair) : nullptr;
    }
    FastRedBlackTree& t = self->t;
    // The result is built before anything is removed: a block taken out of
    // the tree must reach the caller, so no allocation may fail after that.
    // The tuple is made before the lock (allocating a container can start a
    // collection); the size, an int, allocates without running Python code.
    capi::Ref result = capi::Ref::steal(PyTuple_New(2));
    if (!result) return nullptr;
    capi::Ref size_obj;
    capi::Ref block;  // the tree's reference, handed to the result
    {
        capi::LockGuard guard;
        if (!guard.acquire(t.write_lock.get())) return nullptr;
        SeqWrite write(t);
        const NodeId node = t.tree.find_best_fit_node(c_size);
        if (node != NO_NODE) {
            size_obj = capi::Ref::steal(PyLong_FromUnsignedLongLong(t.tree.size_of(node)));
            if (!size_obj) return nullptr;
            capi::CriticalSection cs(owner(self));
            const NodeId record = t.tree.remove_head(node);
            block = capi::Ref::steal(static_cast<PyObject*>(t.tree.release(record)));
            Stats::add(t.stats.total_blocks, -1);
            Stats::add(t.stats.total_deletions, 1);
            // The caller may drop the block at once; a reader may have
            // loaded it before the unlink.
            t.tree.synchronize();
        }
    }
    if (!block) return Py_NewRef(st.none_pair);
    PyTuple_SET_ITEM(result.get(), 0, size_obj.release());
    PyTuple_SET_ITEM(result.get(), 1, block.release());
    return result.release();
}

constexpr capi::Signature clear_sig("clear");

PyObject* clear(Self* self) noexcept {
    const State& st = *self->state;
    FastRedBlackTree& t = self->t;
    // The fresh counters are made first, so that a failure leaves the tree
    // as it was; they are swapped in under the lock.
    capi::Ref operation_counter, sampled_counter;
    if (t.using_atomic) {
        capi::Ref counter_class = capi::global<"AtomicCounter">(st);
        if (!counter_class) return nullptr;
        operation_counter = new_counter(st, counter_class.get());
        if (!operation_counter) return nullptr;
        sampled_counter = new_counter(st, counter_class.get());
        if (!sampled_counter) return nullptr;
    }
    Tree detached;
    {
        capi::LockGuard guard;
        if (!guard.acquire(t.write_lock.get())) return nullptr;
        SeqWrite write(t);
        capi::CriticalSection cs(owner(self));
        detached = t.tree.detach();
        t.stats.reset();
        if (t.using_atomic) {
            // Swapping leaves the old counters in the locals, dropped below.
            std::swap(t.operation_counter, operation_counter);
            std::swap(t.sampled_counter, sampled_counter);
        }
        // Readers may still be inside the detached storage.
        t.tree.synchronize();
    }
    t._recursive_free(std::move(detached));
    Py_RETURN_NONE;
}

// --- lock-free readers ---------------------------------------------------------

constexpr capi::TypedSignature find_best_fit_sig("find_best_fit", capi::Arg<capi::PyInt>{"size"},
                                                 capi::Arg<capi::PyInt>{"alignment", 1});

// The alignment is checked (as the declaration converts it), then ignored:
// every block is taken as suitably aligned.
PyObject* find_best_fit(Self* self, capi::IntValue& size, capi::IntValue&) noexcept {
    const State& st = *self->state;
    uint64_t c_size;
    // A negative size (ValueError from _sanitize_size) gives the neutral result.
    if (const Sanitized s = sanitize(st, self, size.object(), c_size, false); s != Sanitized::ok) {
        return s == Sanitized::invalid ? Py_NewRef(Py_None) : nullptr;
    }
    FastRedBlackTree& t = self->t;
    SeqRead read(st, t);
    while (read.next()) {
        const auto view = t.tree.read_view();
        NodeId node;
        if (!view.lower_bound(c_size, node)) continue;
        auto* block = node == NO_NODE ? Py_None : static_cast<PyObject*>(view.block_of(node));
        if (!read.unchanged()) continue;
        // The block was in the tree all along; a writer removing it now
        // waits for this reader to leave before the tree's reference goes.
        Py_INCREF(block);
        read.leave();
        t.stats.count_search();
        return block;
    }
    return read.failed() ? nullptr : capi::new_none();
}

constexpr capi::TypedSignature find_all_exact_sig("find_all_exact", remove_ge_sig);

PyObject* find_all_exact(Self* self, capi::IntValue& size) noexcept {
    const State& st = *self->state;
    uint64_t c_size;
    // A negative size (ValueError from _sanitize_size) gives the neutral result.
    if (const Sanitized s = sanitize(st, self, size.object(), c_size, false); s != Sanitized::ok) {
        return s == Sanitized::invalid ? PyList_New(0) : nullptr;
    }
    FastRedBlackTree& t = self->t;
    BlockBuffer blocks;
    SeqRead read(st, t);
    while (read.next()) {
        const auto view = t.tree.read_view();
        NodeId node;
        size_t count = 0;
        auto collect = [&blocks, &count](void* block) {
            if (count < blocks.capacity()) blocks[count] = static_cast<PyObject*>(block);
            ++count;
        };
        if (!view.find(c_size, node) || !view.chain(node, collect) || !read.unchanged()) {
            continue;
        }
        if (count > blocks.capacity()) {
            // A longer chain than there was room for: make room outside the
            // gate, and look again (a fresh attempt).
            read.leave();
            if (!blocks.reserve(count)) return nullptr;
            continue;
        }
        // As in find_best_fit, the references are taken before leaving.
        for (size_t i = 0; i < count; ++i) Py_INCREF(blocks[i]);
        read.leave();
        // The list is made once this reader owns the blocks: allocating it
        // can start a collection whose finalizers may write to this tree.
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
        if (list == nullptr) {
            for (size_t i = 0; i < count; ++i) Py_DECREF(blocks[i]);
            return nullptr;
        }
        for (size_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), blocks[i]);
        }
        t.stats.count_search();
        return list;
    }
    return read.failed() ? nullptr : PyList_New(0);
}

// --- accessors -----------------------------------------------------------------

constexpr capi::TypedSignature sanitize_size_sig("_sanitize_size", remove_ge_sig);

PyObject* sanitize_size(capi::IntValue& size) noexcept {
    if (capi::internals::long_sign(size.object()) < 0) {
        PyErr_Format(PyExc_ValueError, "Invalid size: %S", size.object());
        return nullptr;
    }
    return size.release();
}

constexpr capi::Signature size_sig("size");

uint64_t size(Self* self) noexcept { return self->t.tree.node_count(); }

// self.size(), honouring a subclass's override: the count itself unless the
// instance's class replaces `size` (a subclass that does not reads it as
// directly as the tree's own type does), else a call of that override.
PyObject* size_of(const State& st, PyObject* self) noexcept {
    if (!capi::overridden(self, st.FastRedBlackTreeType, st.names.get<"size">())) {
        return PyLong_FromUnsignedLongLong(reinterpret_cast<Self*>(self)->t.tree.node_count());
    }
    return capi::call_method<"size">(st, self);
}

// len(tree) takes size() as Python takes a __len__ result: an integer (through
// __index__), not negative, within Py_ssize_t.
Py_ssize_t tree_len(PyObject* self) noexcept {
    capi::Ref count = capi::Ref::steal(size_of(*reinterpret_cast<Self*>(self)->state, self));
    if (!count) return -1;
    capi::Ref index = capi::Ref::steal(PyNumber_Index(count.get()));
    if (!index) return -1;
    if (capi::internals::long_sign(index.get()) < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return PyNumber_AsSsize_t(index.get(), PyExc_OverflowError);
}

int tree_bool(PyObject* self) noexcept {
    const State& st = *reinterpret_cast<Self*>(self)->state;
    capi::Ref count = capi::Ref::steal(size_of(st, self));
    if (!count) return -1;
    if (PyLong_CheckExact(count.get())) return capi::internals::long_sign(count.get()) > 0;
    capi::Ref positive = capi::Ref::steal(PyObject_RichCompare(count.get(), st.int_zero, Py_GT));
    if (!positive) return -1;
    return capi::to_truth(positive.get());
}

PyObject* tree_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat(
        "FastRedBlackTree(blocks=%llu, native=True)",
        static_cast<unsigned long long>(reinterpret_cast<Self*>(self)->t.tree.node_count()));
}

constexpr capi::Signature check_invariants_sig("_check_invariants");

// For tests: raises AssertionError naming the first broken invariant, else
// returns the shape of the tree and the entries its storage has room for.
PyObject* check_invariants(Self* self) noexcept {
    const State& st = *self->state;
    FastRedBlackTree& t = self->t;
    CheckResult check;
    uint64_t seq;
    {
        capi::CriticalSection cs(owner(self));
        check = t.tree.check_invariants();
        seq = t.seq_counter.load(std::memory_order_relaxed);
        if (check.error == nullptr && (seq & 1)) check.error = "seq_counter is odd";
        if (check.error == nullptr &&
            t.stats.total_blocks.load(std::memory_order_relaxed) != t.tree.node_count()) {
            check.error = "total_blocks differs from node_count";
        }
    }
    if (check.error != nullptr) {
        PyErr_SetString(PyExc_AssertionError, check.error);
        return nullptr;
    }
    capi::Ref result = capi::Ref::steal(PyDict_New());
    if (!result) return nullptr;
    const std::pair<PyObject*, unsigned long long> items[] = {
        {st.names.get<"seq_counter">(), seq},
        {st.names.get<"tree_nodes">(), check.tree_nodes},
        {st.names.get<"entries">(), check.entries},
        {st.names.get<"black_height">(), static_cast<unsigned long long>(check.black_height)},
        {st.names.get<"slots">(), t.tree.slots_allocated()},
    };
    for (const auto& [key, value] : items) {
        capi::Ref number = capi::Ref::steal(PyLong_FromUnsignedLongLong(value));
        if (!number || PyDict_SetItem(result.get(), key, number.get()) < 0) return nullptr;
    }
    return result.release();
}

constexpr capi::TypedSignature set_entry_limit_sig("_set_entry_limit",
                                                   capi::Arg<uint32_t>{"limit"});

// For tests: caps the tree's storage at `limit` blocks instead of 2**29 - 1,
// so that what happens beyond the limit can be reached.
PyObject* set_entry_limit(Self* self, uint32_t limit) noexcept {
    FastRedBlackTree& t = self->t;
    capi::LockGuard guard;
    if (!guard.acquire(t.write_lock.get())) return nullptr;
    t.tree.limit_entries(limit);
    Py_RETURN_NONE;
}

const capi::FunctionDef methods[] = {
    capi::method<insert, insert_sig>("Insert block into tree."),
    capi::method<find_best_fit, find_best_fit_sig>(
        "Find best-fit block (LOCK-FREE read).\n\n"
        "Args:\n"
        "    size: Minimum block size\n"
        "    alignment: Alignment (unused)\n\n"
        "Returns:\n"
        "    The stored block of the smallest size >= size, or None"),
    capi::method<find_all_exact, find_all_exact_sig>(
        "Find all blocks of exact size (lock-free read)."),
    capi::method<delete_block, delete_sig>("Delete specific block."),
    capi::method<remove_ge, remove_ge_sig>("Remove and return best-fit block >= size."),
    capi::method<size, size_sig>("Get total block count."),
    capi::method<clear, clear_sig>("Clear all blocks."),
    capi::method<get_stats, get_stats_sig>("Get tree statistics."),
    capi::method<get_statistics, get_statistics_sig>(
        "Get timing statistics (empty for sampling mode)."),
    capi::method<get_size_distribution, get_size_distribution_sig>("Get size distribution."),
    capi::method<reset_circuit_breaker, reset_circuit_breaker_sig>("Reset circuit breaker stats."),
    capi::method<check_invariants, check_invariants_sig>(
        "Verify the red-black and bookkeeping invariants (for tests).\n\n"
        "Raises AssertionError naming the first broken invariant; otherwise returns\n"
        "seq_counter, the number of tree nodes and entries, the black height, and\n"
        "the number of entries the storage has room for."),
    capi::method<set_entry_limit, set_entry_limit_sig>(
        "Cap this tree's storage at limit blocks instead of 2**29 - 1 (for tests).\n\n"
        "An insert that needs more room raises MemoryError, as beyond 2**29 - 1."),
};

const capi::FunctionDef static_methods[] = {
    capi::function<sanitize_size, sanitize_size_sig>("Validate size."),
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_sq_length, reinterpret_cast<void*>(tree_len)},
    {Py_mp_length, reinterpret_cast<void*>(tree_len)},
    {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
};

}  // namespace

void FastRedBlackTree::_recursive_free(Tree&& detached) noexcept {
    auto release = [](void* block) { Py_DECREF(static_cast<PyObject*>(block)); };
    detached.free_all(release);  // the storage goes with the blocks
}

bool FastRedBlackTree::_reserve_node(PyObject* owner) noexcept {
    Reserve reserved;
    {
        // A growth moves the records into a new array.
        capi::CriticalSection cs(owner);
        reserved = tree.reserve();
    }
    switch (reserved) {
        case Reserve::ok:
            return true;
        case Reserve::no_memory:
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
            return false;
        case Reserve::full:
            PyErr_Format(PyExc_MemoryError,
                         "Failed to allocate RB node: a tree holds at most %u blocks",
                         static_cast<unsigned>(tree.entry_limit()));
            return false;
    }
    return false;
}

NodeId FastRedBlackTree::_allocate_node(PyObject* owner, uint64_t size, PyObject* block,
                                        uint64_t insert_time_ns) noexcept {
    if (!_reserve_node(owner)) return NO_NODE;
    capi::CriticalSection cs(owner);
    Py_INCREF(block);
    return tree.take(size, block, insert_time_ns);
}

bool FastRedBlackTree::_record_sample(const State& st) noexcept {
    if (!using_atomic) return true;
    capi::Ref counter = capi::Ref::borrow(sampled_counter.get());
    capi::Ref result = capi::Ref::steal(capi::call_method<"increment">(st, counter.get()));
    return static_cast<bool>(result);
}

bool add_fast_red_black_tree(PyObject* module, State& st) noexcept {
    if ((st.backoff_seconds = PyFloat_FromDouble(0.0001)) == nullptr ||
        (st.int_zero = PyLong_FromLong(0)) == nullptr ||
        (st.none_pair = PyTuple_Pack(2, Py_None, Py_None)) == nullptr) {
        return false;
    }
    st.std_time_module = PyImport_ImportModule("time");
    if (st.std_time_module == nullptr) return false;
    st.std_perf_counter_ns = capi::attr<"perf_counter_ns">(st, st.std_time_module);
    if (st.std_perf_counter_ns == nullptr) return false;
    st.FastRedBlackTreeType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.blockindex.FastRedBlackTree",
            .doc = "Native intrusive Red-Black tree of free blocks keyed by size.\n\n"
                   "Features:\n"
                   "- Lock-free reads with seqlock\n"
                   "- Single-writer mutex\n"
                   "- Intrusive linked list for same-size blocks\n",
            .constructor = capi::constructor<tree_new, new_sig>(),
            .methods = methods,
            .static_methods = static_methods,
            .slots = slots,
        });
    return st.FastRedBlackTreeType != nullptr;
}

}  // namespace blockindex
