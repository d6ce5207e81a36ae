"""Orchestrator adaptation heuristics."""

import logging as logging
from typing import Any

logger: logging.Logger

# A performance history is a list of (timestamp, metric) pairs: any iterables of
# two numbers. Typed list[Any] because list is invariant, and list[Iterable[float]]
# would reject a caller's list[tuple[float, float]].
def detect_performance_degradation(
    performance_history: list[Any] | None,
    baseline_performance: float,
    threshold: float,
    window_start_time: float,
) -> bool: ...
def calculate_performance_trend(
    performance_history: list[Any] | None, window_start_time: float
) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[Any] | None, change_threshold: float = 0.3
) -> tuple[bool, float, float, float]: ...
def detect_dominant_pattern(patterns: list[Any] | None, window_size: int = 5) -> str | None: ...
def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: float,
    recommendation_confidence: float,
    current_performance_estimate: float,
    trigger_code: int,
    min_improvement_ratio: float = 1.1,
    min_confidence: float = 0.6,
) -> bool: ...
def should_skip_adaptation(
    last_adaptation_time: float, current_time: float, min_interval: float
) -> bool: ...
def detect_memory_pressure(
    current_usage: float, peak_usage: float, pressure_threshold: float = 0.8
) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: float,
    memory_pressure: float,
    fragmentation_ratio: float,
    workload_changed: object,
) -> float: ...
def score_pool_recommendation(
    workload_fit: float, memory_fit: float, thread_count_fit: float, historical_success_rate: float
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[Any] | None, prediction_horizon_seconds: float
) -> tuple[int, int, float]: ...
