"""The one-pass text scorers against plain substring tests over str.lower()."""

from __future__ import annotations

import functools
import sysconfig
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra.plugins.analyzer.loadscore import score_framework_patterns, score_indicators

from conftest import scaled


def words(text):
    return text.split()


INDICATOR_LISTS = [
    words(
        "for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft "
        "linalg"
    ),
    words("array list dict pandas dataframe allocate buffer cache append extend"),
    words(
        "multiprocessing threading concurrent async parallel pool worker chunk batch "
        "processpoolexecutor threadpoolexecutor"
    ),
    words(
        "matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log "
        "sqrt power ** add subtract multiply divide / * + - linalg linear_algebra array asarray "
        "zeros ones empty full"
    ),
    words("reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb"),
    words("workload benchmark intensive chunk_workload map apply vectorize broadcast"),
    words("global nonlocal lock mutex synchronized sequential ordered dependencies"),
]
NAME_LISTS = {3, 5}  # GPU operations and embarrassingly parallel also read the name
FRAMEWORK_LISTS = [
    words(
        "numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean "
        "std var min max argmax argmin reshape transpose concatenate stack split"
    ),
    words(
        "pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt "
        "query eval rolling resample sort_values"
    ),
    words(
        "sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
        "featureunion train_test_split classification regression clustering preprocessing "
        "model_selection metrics ensemble"
    ),
]


def reference_indicators(code, function_name):
    code_lower = code.lower()
    func_lower = function_name.lower() if function_name else ""
    return tuple(
        sum(1 for e in entries if e in code_lower or (i in NAME_LISTS and e in func_lower))
        for i, entries in enumerate(INDICATOR_LISTS)
    )


def reference_frameworks(code):
    code_lower = code.lower()
    counts = [sum(1 for e in entries if e in code_lower) for entries in FRAMEWORK_LISTS]
    return tuple(min(c * (1 / n), 1.0) for c, n in zip(counts, (25, 18, 18), strict=True))


def check(code, name=None):
    assert score_indicators(code, name) == reference_indicators(code, name)
    assert score_framework_patterns(code) == reference_frameworks(code)


def test_lists_are_whole():
    assert [len(x) for x in INDICATOR_LISTS] == [15, 10, 11, 36, 13, 8, 8]
    assert [len(x) for x in FRAMEWORK_LISTS] == [25, 18, 18]
    code = " ".join(e.upper() for lst in INDICATOR_LISTS + FRAMEWORK_LISTS for e in lst)
    assert score_indicators(code, None) == tuple(len(x) for x in INDICATOR_LISTS)
    assert score_framework_patterns(code) == (1.0, 1.0, 1.0)


# Entries and their pieces in mixed case, characters whose lower case is ASCII
# (KELVIN SIGN, DOTTED CAPITAL I), wide characters and lone surrogates.
ENTRIES = sorted({e for lst in INDICATOR_LISTS + FRAMEWORK_LISTS for e in lst})
TOKENS = st.one_of(
    st.sampled_from(ENTRIES),
    st.sampled_from(ENTRIES).map(str.upper),
    st.sampled_from(ENTRIES).map(lambda e: e[: len(e) // 2 + 1]),
    st.sampled_from(["\u212a", "\u0130", "\ud800", "\udfff", "\u00e9", "\U0001f600", " ", "_"]),
    st.characters(blacklist_categories=()),
)
TEXTS = st.lists(TOKENS, max_size=300).map("".join)


@settings(max_examples=scaled(400), deadline=None)
@given(code=TEXTS, name=st.one_of(st.none(), TEXTS))
def test_random_text_matches_reference(code, name):
    check(code, name)


@functools.cache
def stdlib_sources():
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(root.glob("*.py"))
    return tuple(p.read_text(encoding="utf-8", errors="surrogateescape") for p in files)


def test_stdlib_sources_match_reference():
    sources = stdlib_sources()
    assert len(sources) > 50
    for text in sources:
        check(text, "some_function")


@settings(max_examples=scaled(60), deadline=None)
@given(
    data=st.data(),
    extra=st.sampled_from(["", "\u00e9", "\u2028", "\ud83d", "\U0001f600", "\u212a"]),
)
def test_source_slices_of_every_width(data, extra):
    # Slices of real source at random offsets (all scan paths: short, lanes,
    # long enough to run without the interpreter lock), widened to two- and
    # four-byte strings by one extra character.
    sources = stdlib_sources()
    text = data.draw(st.sampled_from(sources))
    start = data.draw(st.integers(0, len(text)))
    length = data.draw(st.sampled_from([1, 17, 255, 256, 1000, 70_000]))
    piece = text[start : start + length]
    piece = piece[: len(piece) // 2] + extra + piece[len(piece) // 2 :]
    check(piece, data.draw(st.sampled_from([None, "", "Vectorize_SUM"])))


def test_threads_agree_on_large_text():
    text = "".join(stdlib_sources()[:30])[:200_000]
    expected = reference_indicators(text, None)
    results: list[tuple[int, ...]] = []

    def work():
        results.extend(score_indicators(text, None) for _ in range(3))

    workers = [threading.Thread(target=work) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [expected] * 6


@pytest.mark.parametrize("length", [255, 256, 257, 1024, 65_536])
def test_entry_across_lane_boundaries(length):
    # An entry placed at every offset near the quarter boundaries is found.
    for entry in ("processpoolexecutor", "**", "1e6"):
        quarter = (length + 3) // 4
        for offset in {quarter - len(entry), quarter - 1, 2 * quarter - 3, length - len(entry)}:
            if offset < 0:
                continue
            text = "." * offset + entry + "." * (length - offset - len(entry))
            assert score_indicators(text, None) == reference_indicators(text, None), offset
