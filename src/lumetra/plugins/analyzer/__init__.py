"""Workload scoring and orchestrator adaptation heuristics."""
