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
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

namespace loadscore {

template <std::size_t Words>
class SubstringSet {
public:
    // Bit i (word i / 64, bit i % 64) stands for pattern i.
    using Mask = std::array<std::uint64_t, Words>;
    static constexpr std::size_t max_patterns = Words * 64;

    // Throws std::bad_alloc, std::invalid_argument for an empty or non-ASCII
    // pattern or too many patterns, std::length_error when the automaton
    // outgrows 16-bit offsets.
    explicit SubstringSet(std::span<const std::string_view> patterns) {
        if (patterns.size() > max_patterns) throw std::invalid_argument("too many patterns");
        class_of_.fill(0);
        std::size_t classes = 1;
        for (std::string_view pattern : patterns) {
            if (pattern.empty()) throw std::invalid_argument("empty pattern");
            for (char ch : pattern) {
                const auto unit = static_cast<unsigned char>(ch);
                if (unit >= 128) throw std::invalid_argument("pattern is not ASCII");
                if (class_of_[unit] == 0) class_of_[unit] = static_cast<std::uint8_t>(classes++);
            }
            max_length_ = std::max(max_length_, pattern.size());
        }
        classes_ = static_cast<std::uint32_t>(classes);
        build(patterns);
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
    void build(std::span<const std::string_view> patterns) {
        // Trie: `trie` rows of classes_ state numbers, -1 where no edge leaves.
        std::vector<std::int32_t> trie(classes_, -1);
        std::vector<Mask> ends(1, Mask{});
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            std::size_t state = 0;
            for (char ch : patterns[i]) {
                const std::size_t cell =
                    state * classes_ + class_of_[static_cast<unsigned char>(ch)];
                if (trie[cell] < 0) {
                    trie[cell] = static_cast<std::int32_t>(ends.size());
                    ends.emplace_back();
                    trie.resize(trie.size() + classes_, -1);
                }
                state = static_cast<std::size_t>(trie[cell]);
            }
            ends[state][i / 64] |= std::uint64_t{1} << (i % 64);
        }
        const std::size_t states = ends.size();
        width_ = classes_ + 1;
        if (states * width_ > 0xFFFF) throw std::length_error("automaton too large");

        // Breadth-first: a state's failure state is shallower than the state,
        // so its transitions and output set are final by the time it is used.
        std::vector<std::uint32_t> delta(states * classes_, 0);
        std::vector<std::uint32_t> fail(states, 0);
        std::vector<std::uint32_t> queue;
        queue.reserve(states);
        queue.push_back(0);
        for (std::size_t head = 0; head < queue.size(); ++head) {
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
                queue.push_back(next);
            }
        }

        std::map<Mask, std::uint16_t> output_index{{Mask{}, 0}};
        outputs_.assign(1, Mask{});
        table_.assign(states * width_, 0);
        for (std::size_t state = 0; state < states; ++state) {
            for (std::uint32_t c = 0; c < classes_; ++c) {
                table_[state * width_ + c] =
                    static_cast<std::uint16_t>(delta[state * classes_ + c] * width_);
            }
            auto [it, added] =
                output_index.try_emplace(ends[state], static_cast<std::uint16_t>(outputs_.size()));
            if (added) outputs_.push_back(ends[state]);
            table_[state * width_ + classes_] = it->second;
        }
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
    std::vector<std::uint16_t> table_;
    std::vector<Mask> outputs_;
};

}  // namespace loadscore
