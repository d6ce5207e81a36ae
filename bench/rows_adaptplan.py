"""Rows for lumetra.plugins.analyzer.adaptplan, against pure-Python versions of
the same rules."""

from __future__ import annotations

from lumetra.plugins.analyzer import adaptplan

from run import Row, stmt

# --- pure-Python reference implementations --------------------------------------------


def py_detect_performance_degradation(
    performance_history, baseline_performance, threshold, window_start_time
):
    if performance_history is None:
        return False
    n = len(performance_history)
    if n == 0 or baseline_performance <= 0 or n < 5:
        return False
    total = 0.0
    count = 0
    for ts, value in performance_history:
        timestamp = float(ts)
        metric = float(value)
        if timestamp < window_start_time:
            continue
        total += metric
        count += 1
    if count < 5:
        return False
    degradation = (baseline_performance - total / count) / baseline_performance
    return degradation > threshold


def py_calculate_performance_trend(performance_history, window_start_time):
    if performance_history is None or len(performance_history) < 3:
        return 0.0
    recent = []
    for ts, value in performance_history:
        timestamp = float(ts)
        metric = float(value)
        if timestamp >= window_start_time:
            recent.append((timestamp, metric))
    n = len(recent)
    if n < 3:
        return 0.0
    t0 = recent[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for timestamp, metric in recent:
        x = timestamp - t0
        sum_x += x
        sum_y += metric
        sum_xy += x * metric
        sum_xx += x * x
    mean_x = sum_x / n
    mean_y = sum_y / n
    denominator = sum_xx - n * mean_x * mean_x
    if abs(denominator) < 1e-10 or abs(mean_y) < 1e-10:
        return 0.0
    slope = (sum_xy - n * mean_x * mean_y) / denominator
    return max(-1.0, min(1.0, slope / mean_y))


def py_detect_dominant_pattern(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts: dict[str, int] = {}
    for label in patterns[max(0, n - window_size) :]:
        counts[label] = counts.get(label, 0) + 1
    dominant = "mixed"
    max_count = 0
    for label, count in counts.items():
        if count > max_count:
            max_count = count
            dominant = label
    return dominant


def py_is_adaptation_beneficial(  # noqa: PLR0917
    current_pool,
    recommended_pool,
    recommendation_score,
    recommendation_confidence,
    current_performance_estimate,
    trigger_code,
    min_improvement_ratio=1.1,
    min_confidence=0.6,
):
    if current_pool == recommended_pool:
        return False
    if recommendation_confidence < min_confidence:
        return False
    if trigger_code == 0:
        return recommendation_score > 0.5
    if current_performance_estimate <= 0:
        return recommendation_score > 0.6
    return recommendation_score > min_improvement_ratio * current_performance_estimate


def py_calculate_adaptation_urgency(
    performance_degradation, memory_pressure, fragmentation_ratio, workload_changed
):
    urgency = (
        0.4 * min(max(performance_degradation, 0.0), 1.0)
        + 0.3 * min(max(memory_pressure, 0.0), 1.0)
        + 0.15 * min(max(fragmentation_ratio, 0.0), 1.0)
    )
    if workload_changed:
        urgency += 0.15
    return min(urgency, 1.0)


def py_predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    n = len(allocation_history)
    if n < 10:
        return (0, 0, 0.0)
    duration = float(allocation_history[-1][0]) - float(allocation_history[0][0])
    if duration <= 0:
        return (0, 0, 0.0)
    total_size = 0.0
    for ts, size in allocation_history:
        float(ts)
        total_size += float(size)
    predicted_allocations = int(n / duration * prediction_horizon_seconds)
    predicted_bytes = int(total_size / n * predicted_allocations)
    clamp = lambda v: max(-(2**31), min(2**31 - 1, v))  # noqa: E731
    return (clamp(predicted_allocations), clamp(predicted_bytes), min(n, 100) * 0.008)


# --- rows --------------------------------------------------------------------------------


def rows(headline: bool = False) -> list[Row]:
    history = [(float(i), 100.0 - (i % 7) * 0.5) for i in range(1000)]
    labels = [("cpu_bound", "io_bound", "mixed_load", "memory_bound")[i % 4] for i in range(100)]
    allocations = [(i * 0.01, float(64 + i % 256)) for i in range(1000)]
    m = adaptplan
    return [
        Row(
            "detect_performance_degradation(1000)",
            stmt("f(h, 100.0, 0.1, 500.0)", f=m.detect_performance_degradation, h=history),
            "pure Python",
            stmt("f(h, 100.0, 0.1, 500.0)", f=py_detect_performance_degradation, h=history),
            vs_floor=False,
        ),
        Row(
            "calculate_performance_trend(1000)",
            stmt("f(h, 500.0)", f=m.calculate_performance_trend, h=history),
            "pure Python",
            stmt("f(h, 500.0)", f=py_calculate_performance_trend, h=history),
            vs_floor=False,
        ),
        Row(
            "detect_dominant_pattern(100, window 5)",
            stmt("f(p)", f=m.detect_dominant_pattern, p=labels),
            "pure Python",
            stmt("f(p)", f=py_detect_dominant_pattern, p=labels),
            vs_floor=False,
        ),
        Row(
            "detect_dominant_pattern(100, window 100)",
            stmt("f(p, 100)", f=m.detect_dominant_pattern, p=labels),
            "pure Python",
            stmt("f(p, 100)", f=py_detect_dominant_pattern, p=labels),
            vs_floor=False,
        ),
        Row(
            "predict_resource_requirements(1000)",
            stmt("f(h, 60.0)", f=m.predict_resource_requirements, h=allocations),
            "pure Python",
            stmt("f(h, 60.0)", f=py_predict_resource_requirements, h=allocations),
            vs_floor=False,
        ),
        Row(
            "is_adaptation_beneficial(...)",
            stmt("f('a', 'b', 0.9, 0.8, 0.5, 1)", f=m.is_adaptation_beneficial),
            "pure Python",
            stmt("f('a', 'b', 0.9, 0.8, 0.5, 1)", f=py_is_adaptation_beneficial),
            headline=True,
        ),
        Row(
            "calculate_adaptation_urgency(...)",
            stmt("f(0.5, 0.3, 0.2, True)", f=m.calculate_adaptation_urgency),
            "pure Python",
            stmt("f(0.5, 0.3, 0.2, True)", f=py_calculate_adaptation_urgency),
        ),
    ]
