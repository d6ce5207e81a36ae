// Which of a fixed set of short ASCII patterns occur in a text, found in one
// pass by a deterministic Aho-Corasick automaton.
//
// The automaton is built once and never changes afterwards, so any number of
// threads may scan with it at the same time without a lock.
//
// Texts are scanned as their code units: the bytes of a one-byte string, the
// 16- or 32-bit units of a wider one. Every pattern is ASCII and a unit of 128
// or more is never an ASCII character, so such a unit only breaks a partial
// match; a pattern is reported exactly when it is a substring of the text,
// whatever the text's width and whether or not it holds lone surrogates.
//
// Layout: each state is a row of `width_ = classes_ + 1` cells of `table_`.
// Cell c (0 <= c < classes_) holds the row offset of the next state for code
// units of byte class c; class 0 stands for every unit that occurs in no
// pattern. The last cell holds the index into `outputs_` of the set of
// patterns that end at that state, suffixes included (index 0: the empty set).
// Offsets are stored pre-multiplied so that one step is one load and one add.
//
// The package is built without C++ exceptions, so nothing here throws: the
// tables come from the C allocator through `Table`, and building reports a
// failure as a message (`out_of_memory` when an allocation failed).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace loadscore {

// The failure message of a build whose allocation failed.
inline constexpr const char* out_of_memory = "out of memory";

// A fixed number of trivially copyable values in memory from the C allocator,
// released with the table.
template <typename T>
class Table {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Table() noexcept = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table() { std::free(data_); }

    // Replaces the contents with `count` copies of `value`; false (and empty)
    // when the memory cannot be had.
    [[nodiscard]] bool assign(std::size_t count, const T& value) noexcept {
        std::free(std::exchange(data_, nullptr));
        size_ = 0;
        if (count > SIZE_MAX / sizeof(T)) return false;
        data_ = static_cast<T*>(std::malloc(count == 0 ? 1 : count * sizeof(T)));
        if (data_ == nullptr) return false;
        std::fill_n(data_, count, value);
        size_ = count;
        return true;
    }

    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

template <std::size_t Words>
class SubstringSet {
public:
    // Bit i (word i / 64, bit i % 64) stands for pattern i.
    using Mask = std::array<std::uint64_t, Words>;
    static constexpr std::size_t max_patterns = Words * 64;

    SubstringSet() noexcept = default;
    SubstringSet(const SubstringSet&) = delete;
    SubstringSet& operator=(const SubstringSet&) = delete;

    // Builds the automaton of `patterns`; null on success, else what went
    // wrong: `out_of_memory`, an empty or non-ASCII pattern, too many
    // patterns, or an automaton too large for 16-bit offsets.
    const char* build(std::span<const std::string_view> patterns) noexcept {
        if (patterns.size() > max_patterns) return "too many patterns";
        class_of_.fill(0);
        max_length_ = 0;
        std::size_t classes = 1;
        std::size_t total_length = 0;
        for (std::string_view pattern : patterns) {
            if (pattern.empty()) return "empty pattern";
            for (char ch : pattern) {
                const auto unit = static_cast<unsigned char>(ch);
                if (unit >= 128) return "pattern is not ASCII";
                if (class_of_[unit] == 0) class_of_[unit] = static_cast<std::uint8_t>(classes++);
            }
            max_length_ = std::max(max_length_, pattern.size());
            total_length += pattern.size();
        }
        classes_ = static_cast<std::uint32_t>(classes);
        return build_tables(patterns, total_length + 1);
    }

    // Sets in `found` the bit of every pattern that occurs in text[0, length).
    template <typename CodeUnit>
    void scan(const CodeUnit* text, std::size_t length, Mask& found) const noexcept {
        static_assert(std::is_unsigned_v<CodeUnit>, "code units are unsigned");
        // Four walks over overlapping quarters of the text run interleaved, so
        // the table loads of one walk overlap those of the others instead of
        // waiting for each other. A quarter reaches max_length_ - 1 units into
        // the next one: an occurrence then lies wholly inside the quarter where
        // it starts, and each walk starts from the root at its first unit.
        constexpr std::size_t lanes = 4;
        if (length < lanes * 64) {
            walk(text, text + length, 0, found);
            return;
        }
        const std::size_t quarter = (length + lanes - 1) / lanes;
        const std::size_t overlap = max_length_ > 0 ? max_length_ - 1 : 0;
        const CodeUnit* begin[lanes];
        std::size_t span_length[lanes];
        std::size_t common = length;
        for (std::size_t i = 0; i < lanes; ++i) {
            const std::size_t first = std::min(i * quarter, length);
            const std::size_t last = std::min(length, first + quarter + overlap);
            begin[i] = text + first;
            span_length[i] = last - first;
            common = std::min(common, span_length[i]);
        }
        std::uint32_t row[lanes] = {};
        for (std::size_t j = 0; j < common; ++j) {
            for (std::size_t i = 0; i < lanes; ++i) row[i] = step(row[i], begin[i][j], found);
        }
        for (std::size_t i = 0; i < lanes; ++i) {
            walk(begin[i] + common, begin[i] + span_length[i], row[i], found);
        }
    }

private:
    // The trie, its failure links and the final tables; `max_states` bounds the
    // number of states (one more than the total pattern length).
    const char* build_tables(std::span<const std::string_view> patterns,
                             std::size_t max_states) noexcept {
        // Trie: rows of classes_ state numbers, -1 where no edge leaves.
        Table<std::int32_t> trie;
        Table<Mask> ends;
        if (!trie.assign(max_states * classes_, -1) || !ends.assign(max_states, Mask{})) {
            return out_of_memory;
        }
        std::size_t states = 1;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            std::size_t state = 0;
            for (char ch : patterns[i]) {
                const std::size_t cell =
                    state * classes_ + class_of_[static_cast<unsigned char>(ch)];
                if (trie[cell] < 0) trie[cell] = static_cast<std::int32_t>(states++);
                state = static_cast<std::size_t>(trie[cell]);
            }
            ends[state][i / 64] |= std::uint64_t{1} << (i % 64);
        }
        width_ = classes_ + 1;
        if (states * width_ > 0xFFFF) return "automaton too large";

        // Breadth-first: a state's failure state is shallower than the state,
        // so its transitions and output set are final by the time it is used.
        Table<std::uint32_t> delta, fail, queue;
        if (!delta.assign(states * classes_, 0) || !fail.assign(states, 0) ||
            !queue.assign(states, 0)) {
            return out_of_memory;
        }
        std::size_t queued = 1;  // queue[0] is the root
        for (std::size_t head = 0; head < queued; ++head) {
            const std::uint32_t state = queue[head];
            for (std::uint32_t c = 0; c < classes_; ++c) {
                const std::int32_t child = trie[state * classes_ + c];
                const std::uint32_t fallback = state == 0 ? 0 : delta[fail[state] * classes_ + c];
                if (child < 0) {
                    delta[state * classes_ + c] = fallback;
                    continue;
                }
                const auto next = static_cast<std::uint32_t>(child);
                fail[next] = fallback;
                for (std::size_t w = 0; w < Words; ++w) ends[next][w] |= ends[fallback][w];
                delta[state * classes_ + c] = next;
                queue[queued++] = next;
            }
        }

        // Each distinct output set is kept once (a linear search: there are a
        // few hundred states at most, and this runs once).
        if (!outputs_.assign(states, Mask{}) || !table_.assign(states * width_, 0)) {
            return out_of_memory;
        }
        std::size_t distinct = 1;
        for (std::size_t state = 0; state < states; ++state) {
            for (std::uint32_t c = 0; c < classes_; ++c) {
                table_[state * width_ + c] =
                    static_cast<std::uint16_t>(delta[state * classes_ + c] * width_);
            }
            std::size_t index = 0;
            while (index < distinct && outputs_[index] != ends[state]) ++index;
            if (index == distinct) outputs_[distinct++] = ends[state];
            table_[state * width_ + classes_] = static_cast<std::uint16_t>(index);
        }
        return nullptr;
    }

    template <typename CodeUnit>
    std::uint32_t step(std::uint32_t row, CodeUnit unit, Mask& found) const noexcept {
        std::uint32_t cls;
        if constexpr (sizeof(CodeUnit) == 1) {
            cls = class_of_[unit];
        } else {
            cls = unit < 128 ? class_of_[unit] : 0;
        }
        row = table_[row + cls];
        const Mask& out = outputs_[table_[row + classes_]];
        for (std::size_t w = 0; w < Words; ++w) found[w] |= out[w];
        return row;
    }

    template <typename CodeUnit>
    void walk(const CodeUnit* it, const CodeUnit* end, std::uint32_t row,
              Mask& found) const noexcept {
        for (; it != end; ++it) row = step(row, *it, found);
    }

    // Byte class of each byte value; 0 for bytes in no pattern (all of 128-255).
    std::array<std::uint8_t, 256> class_of_{};
    std::uint32_t classes_ = 0;
    std::uint32_t width_ = 0;
    std::size_t max_length_ = 0;
    Table<std::uint16_t> table_;
    Table<Mask> outputs_;  // distinct output sets; the first is the empty set
};

}  // namespace loadscore
