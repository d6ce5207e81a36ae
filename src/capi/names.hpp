// Interned names, held in a module's state.
//
// A module lists the attribute names, global names, dictionary keys and
// constant texts (format specifications, fixed strings it returns) it uses
// once, as the template arguments of a `Names` member of its state:
//
//     capi::Names<"time", "logger", "debug"> names;
//     ...
//     PyObject_GetAttr(obj, st.names.get<"debug">());
//
// The strings are interned when the module is executed and belong to that
// module object (so to one interpreter). `get` is resolved at compile time to
// an array slot: a name that is not in the list does not compile.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace capi {

// A string literal usable as a template argument.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) noexcept { std::copy_n(s, N, text); }
    constexpr std::string_view view() const noexcept { return {text, N - 1}; }
};

template <Name... Ns>
class Names {
public:
    static constexpr std::size_t size = sizeof...(Ns);

    template <Name N>
    PyObject* get() const noexcept {
        constexpr std::size_t i = index_of(N.view());
        static_assert(i < size, "name missing from the module's Names list");
        return slots_[i];
    }

    // Interns every name; false with an error set (the slots made so far
    // stay, and are released with the rest of the state).
    bool init() noexcept {
        const char* texts[] = {Ns.text...};
        for (std::size_t i = 0; i < size; ++i) {
            if (slots_[i] == nullptr &&
                (slots_[i] = PyUnicode_InternFromString(texts[i])) == nullptr) {
                return false;
            }
        }
        return true;
    }

    // Calls f(slot) for every reference, as module states do for their members.
    template <typename F>
    void for_each_ref(F&& f) noexcept {
        for (PyObject*& slot : slots_) f(slot);
    }

private:
    static constexpr std::size_t index_of(std::string_view name) noexcept {
        constexpr std::string_view all[] = {Ns.view()...};
        for (std::size_t i = 0; i < size; ++i) {
            if (all[i] == name) return i;
        }
        return size;
    }

    PyObject* slots_[size] = {};
};

}  // namespace capi
